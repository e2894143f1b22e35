# parse_find.kro with regular expressions: on an 11 MB text, count "fox", then
# the runs of digits.
import re, sys, time
line = "the quick brown fox jumps over the lazy dog 0123456789\n"
text = line * 200000
start = time.perf_counter()
foxes = len(re.findall("fox", text))
runs = len(re.findall("[0-9]+", text))
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(f"[{foxes} {runs}]", file=sys.stderr)
