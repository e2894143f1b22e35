-- A function that leaves through return, called a million times.
local function f(x)
  if x > 10 then return x - 10 end
  return x
end
local start = os.clock()
local s = 0
for i = 1, 1000000 do s = s + f(15) end
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(s, "\n")
