-- Integer loops: a while loop and a counted loop over a million rounds each.
local start = os.clock()
local s, i = 0, 0
while i < 1000000 do
  s = s + i % 7
  i = i + 1
end
local t = 0
for j = 1, 1000000 do t = t + j % 7 end
local r = s - t
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(r, "\n")
