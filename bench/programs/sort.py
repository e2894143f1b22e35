# Sorting a list of a million integers (a full-period generator mod 2^20,
# made before the timing).
import sys, time
x = 1
numbers = []
for _ in range(1000000):
    x = (x * 1101 + 12345) % 1048576
    numbers.append(x)
start = time.perf_counter()
numbers.sort()
r = f"[{numbers[0]} {numbers[499999]} {numbers[-1]}]"
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
