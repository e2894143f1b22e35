# Recursive Fibonacci: function calls, a conditional, integer arithmetic.
import time
def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)
start = time.perf_counter()
r = fib(24)
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=__import__("sys").stderr)
