# A function that leaves through return, called a million times.
import sys, time
def f(x):
    if x > 10:
        return x - 10
    return x
start = time.perf_counter()
s = 0
for i in range(1, 1000001):
    s = s + f(15)
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(s, file=sys.stderr)
