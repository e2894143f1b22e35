# json_save.kro with the json module: dumps of the data of a 42 MB document
# (read before the timing), compact and not limited to ASCII as to-json writes.
import json, sys, time
values = "[" + ",".join(str(i) for i in range(100)) + "]"
note = "a note of some length, with an escaped line feed\\nand an accented letter \\u00e9, repeated: "
note += "the quick brown fox jumps over the lazy dog; " * 11
items = []
for n in range(40000):
    items.append('{"id":' + str(n) + ',"name":"item","active":true,"parent":null,"ratio":0.25,'
                 '"tags":["alpha","beta","gamma","delta"],"values":' + values + ',"note":"' + note
                 + '","child":{"depth":1,"list":[{"k":"v"},{"k":"w"}],"flag":false}}')
text = "[" + ",".join(items) + "]"
data = json.loads(text)
start = time.perf_counter()
r = len(json.dumps(data, separators=(",", ":"), ensure_ascii=False))
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
