-- A table of 300,000 integer keys: set each, then add up the lookup of each.
local start = os.clock()
local m = {}
for i = 1, 300000 do m[i] = i % 1000 end
local s = 0
for i = 1, 300000 do s = s + m[i] end
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(s, "\n")
