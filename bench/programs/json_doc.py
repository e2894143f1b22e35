# The 42 MB JSON document of the json_load and json_save twins (made before the timing).
def text():
    values = "[" + ",".join(str(i) for i in range(100)) + "]"
    note = "a note of some length, with an escaped line feed\\nand an accented letter \\u00e9, repeated: "
    note += "the quick brown fox jumps over the lazy dog; " * 11
    items = []
    for n in range(40000):
        items.append('{"id":' + str(n) + ',"name":"item","active":true,"parent":null,"ratio":0.25,'
                     '"tags":["alpha","beta","gamma","delta"],"values":' + values + ',"note":"' + note
                     + '","child":{"depth":1,"list":[{"k":"v"},{"k":"w"}],"flag":false}}')
    return "[" + ",".join(items) + "]"
