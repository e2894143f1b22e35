# parse_split.kro with str.split: a 10 MB text split into lines and words.
import sys, time
start = time.perf_counter()
line = "the quick brown fox jumps over the lazy dog 0123456789\n"
text = "".join([line] * 200000)
lines = text.split("\n")[:-1]  # the text ends with a line feed
words = text.split()
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(f"[{len(lines)} {len(words)}]", file=sys.stderr)
