"""parse_expr.kro in Python: a recursive-descent recogniser of the same grammar.

expr:   term (("+" | "-") term)*
term:   factor (("*" | "/") factor)*
factor: digits | "(" expr ")"
"""

import sys, time

DIGITS = frozenset("0123456789")


class Parser:
    def __init__(self, text):
        self.text = text
        self.at = 0
        self.numbers = 0

    def expr(self):
        if not self.term():
            return False
        while self.at < len(self.text) and self.text[self.at] in "+-":
            saved = self.at
            self.at += 1
            if not self.term():
                self.at = saved
                break
        return True

    def term(self):
        if not self.factor():
            return False
        while self.at < len(self.text) and self.text[self.at] in "*/":
            saved = self.at
            self.at += 1
            if not self.factor():
                self.at = saved
                break
        return True

    def factor(self):
        text, start = self.text, self.at
        end = start
        while end < len(text) and text[end] in DIGITS:
            end += 1
        if end > start:
            _ = text[start:end]  # the copy the Kro rule makes
            self.numbers += 1
            self.at = end
            return True
        if start < len(text) and text[start] == "(":
            self.at = start + 1
            if self.expr() and self.at < len(text) and text[self.at] == ")":
                self.at += 1
                return True
        self.at = start
        return False


start = time.perf_counter()
chunk = "(12+34)*56-7/(8+9*(10-11))+"
text = chunk * 100000 + "1"
p = Parser(text)
valid = p.expr() and p.at == len(text)
print(f"{(time.perf_counter() - start) * 1000:.3f}")
print(f"[{'true' if valid else 'false'} {p.numbers}]", file=sys.stderr)
