# Integer loops: a while loop and a counted loop over a million rounds each.
import sys, time
start = time.perf_counter()
s = 0
i = 0
while i < 1000000:
    s = s + i % 7
    i = i + 1
t = 0
for j in range(1, 1000001):
    t = t + j % 7
r = s - t
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
