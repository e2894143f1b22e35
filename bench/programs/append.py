# Appending 2 million short strings to one string that grows.
import sys, time
def run():
    s = ""
    for i in range(2000000):
        s += "item"
    return len(s)
start = time.perf_counter()
r = run()
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
