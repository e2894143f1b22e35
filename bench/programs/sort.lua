-- Sorting a table of a million integers (a full-period generator mod 2^20,
-- made before the timing).
local x = 1
local numbers = {}
for i = 1, 1000000 do
  x = (x * 1101 + 12345) % 1048576
  numbers[i] = x
end
local start = os.clock()
table.sort(numbers)
local r = string.format("[%d %d %d]", numbers[1], numbers[500000], numbers[#numbers])
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(r, "\n")
