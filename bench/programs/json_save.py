# json_save.kro with the json module: dumps of the data of a 42 MB document
# (read before the timing), compact and not limited to ASCII as to-json writes.
import json, sys, time
import json_doc
text = json_doc.text()
data = json.loads(text)
start = time.perf_counter()
r = len(json.dumps(data, separators=(",", ":"), ensure_ascii=False))
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
