-- Recursive Fibonacci: function calls, a conditional, integer arithmetic.
local function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end
local start = os.clock()
local r = fib(24)
print(string.format("%.3f", (os.clock() - start) * 1000))
io.stderr:write(r, "\n")
