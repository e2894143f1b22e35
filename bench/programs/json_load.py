# json_load.kro with the json module: loads of a 42 MB document (the text is
# made before the timing).
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
start = time.perf_counter()
data = json.loads(text)
r = f"[{len(data)} {data[-1]['id']} {len(data[0]['note'])}]"
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(r, file=sys.stderr)
