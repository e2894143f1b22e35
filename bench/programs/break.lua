-- A loop with break and continue: a million rounds, half of them ended by continue.
local start = os.clock()
local n, s = 0, 0
for _ = 1, 2000000 do
  n = n + 1
  if n > 1000000 then break end
  if n % 2 == 1 then goto continue end
  s = s + n % 10
  ::continue::
end
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(s, "\n")
