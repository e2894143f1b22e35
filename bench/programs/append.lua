-- Appending 2 million short strings to one text (Lua's strings are immutable:
-- a buffer of parts, joined once).
local start = os.clock()
local parts = {}
for i = 1, 2000000 do parts[#parts + 1] = "item" end
local s = table.concat(parts)
local r = #s
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(r, "\n")
