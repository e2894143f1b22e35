#!/usr/bin/env python3
"""parse_split.kro with str.split: a 10 MB text split into lines and words."""

line = "the quick brown fox jumps over the lazy dog 0123456789\n"
text = line * 200000

lines = text.split("\n")[:-1]  # the text ends with a line feed
words = text.split()

print("lines:", len(lines), "words:", len(words))
