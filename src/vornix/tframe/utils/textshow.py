"""Text taken from files and arguments, made safe to show in a message.

Whatever a data file or an argument holds is echoed as text: control characters
(terminal escape sequences among them) are shown escaped, as Python writes them
("\\x1b", "\\n"), and a long text is cut to SHOWN_CHARS characters with a note of
how much was left out.  Messages never carry more than that of any one value.
"""

SHOWN_CHARS = 200


def _escaped(ch):
    code = ord(ch)
    if code < 0x20 or 0x7F <= code < 0xA0 or ch in "\u2028\u2029\u200e\u200f\u202a\u202b\u202c\u202d\u202e":
        if ch == "\n":
            return "\\n"
        if ch == "\t":
            return "\\t"
        if ch == "\r":
            return "\\r"
        return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code
    return ch


def shown_text(value, limit=SHOWN_CHARS):
    """`value` as text that is safe to print: control characters escaped, cut to
    `limit` characters."""
    text = value if isinstance(value, str) else str(value)
    cut = len(text) > limit
    if cut:
        rest = len(text) - limit
        text = text[:limit]
    if text.isprintable():
        out = text
    else:
        out = "".join(_escaped(ch) for ch in text)
    if cut:
        out += "... (%d more characters)" % rest
    return out


def shown_repr(value, limit=SHOWN_CHARS):
    """Like repr() of a text, quoted, but with shown_text's limit."""
    text = value if isinstance(value, str) else str(value)
    return "'%s'" % shown_text(text, limit)
