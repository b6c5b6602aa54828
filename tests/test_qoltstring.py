"""QoltString and the text conversion between Python and the SDK."""

import pytest

from mirelo._mirelo import QoltString

NON_ASCII = "Grüße, 東京 🎧"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("abc", "abc"),
        (b"abc", "abc"),
        (bytearray(b"abc"), "abc"),
        ("", ""),
        (NON_ASCII, NON_ASCII),
        (NON_ASCII.encode(), NON_ASCII),
    ],
    ids=["str", "bytes", "bytearray", "empty", "non-ascii", "utf8-bytes"],
)
class TestTextIntoHolder:
    def test_constructor(self, text, expected):
        assert QoltString(text).GetValue() == expected

    def test_set_value(self, text, expected):
        holder = QoltString("previous")
        assert holder.SetValue(text) is None
        assert holder.GetValue() == expected


def test_text_reads_back_in_every_form():
    holder = QoltString("abc")
    assert holder.GetValue() == "abc" and type(holder.GetValue()) is str
    assert str(holder) == "abc"
    assert repr(holder) == "QoltString('abc')"


def test_default_holder_holds_the_empty_text():
    assert QoltString().GetValue() == ""
    assert repr(QoltString()) == "QoltString('')"


def set_value(holder: QoltString, value) -> QoltString:
    holder.SetValue(value)
    return holder


@pytest.mark.parametrize("make_null", [lambda: QoltString(None), lambda: set_value(QoltString("x"), None)])
def test_none_gives_a_holder_without_text(make_null):
    holder = make_null()
    assert holder.GetValue() is None
    for text_form in (str, repr):
        with pytest.raises(RuntimeError, match="^basic_string: construction from null is not valid$"):
            text_form(holder)


@pytest.mark.parametrize("read", [QoltString.GetValue, str, repr])
def test_invalid_utf8_fails_to_read_and_leaves_the_holder_usable(read):
    holder = QoltString(b"ok\xff")
    with pytest.raises(UnicodeDecodeError):
        read(holder)
    holder.SetValue("fine")
    assert holder.GetValue() == "fine"


@pytest.mark.parametrize(
    "argument",
    [QoltString("abc"), 1, 1.5, object(), ["abc"], "\ud800"],
    ids=["holder", "int", "float", "object", "list", "lone-surrogate"],
)
def test_non_text_is_refused(argument):
    with pytest.raises(TypeError):
        QoltString(argument)
    holder = QoltString("kept")
    with pytest.raises(TypeError):
        holder.SetValue(argument)
    assert holder.GetValue() == "kept"


def test_arguments_are_positional_only():
    with pytest.raises(TypeError):
        QoltString(value="abc")
    with pytest.raises(TypeError):
        QoltString().SetValue(value="abc")
    with pytest.raises(TypeError):
        QoltString("a", "b")


def test_holders_refuse_new_attributes():
    with pytest.raises(AttributeError):
        QoltString().text = "abc"
