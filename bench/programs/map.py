# A dict of 300,000 integer keys: set each, then add up the lookup of each.
import sys, time
def run():
    m = {}
    for i in range(1, 300001):
        m[i] = i % 1000
    s = 0
    for i in range(1, 300001):
        s = s + m[i]
    return s
start = time.perf_counter()
r = run()
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
