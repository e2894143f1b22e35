# A loop with break and continue: a million rounds, half of them ended by continue.
import sys, time
start = time.perf_counter()
n = 0
s = 0
for _ in range(2000000):
    n = n + 1
    if n > 1000000:
        break
    if n % 2 == 1:
        continue
    s = s + n % 10
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(s, file=sys.stderr)
