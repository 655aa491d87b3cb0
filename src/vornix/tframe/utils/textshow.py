"""Text taken from files and arguments, made safe to show in a message.

Whatever a data file or an argument holds is echoed as text: control characters
(terminal escape sequences among them) are shown escaped, as Python writes them
("\\x1b", "\\n"), and a long text is cut to SHOWN_CHARS (200) characters with a
note of how much was left out.  Messages never carry more than that of any one
value; the command line also prints every line of an error cut to 2000 characters
with its control characters escaped.
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


MESSAGE_LINE_CHARS = 2000


def shown_message(text, limit=MESSAGE_LINE_CHARS):
    """A message of several lines as safe to print: each line as shown_text shows
    it, cut to `limit` characters."""
    return "\n".join(shown_text(line, limit) for line in str(text).split("\n"))
