# json_load.kro with the json module: loads of a 42 MB document (the text is
# made before the timing).
import json, sys, time
import json_doc
text = json_doc.text()
start = time.perf_counter()
data = json.loads(text)
r = f"[{len(data)} {data[-1]['id']} {len(data[0]['note'])}]"
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
