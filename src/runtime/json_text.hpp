// JSON text of plain Python values, character for character what the standard library's
// json.dumps(value, ensure_ascii=False) gives with every other option at its default: the
// separators ", " and ": ", keys in the dict's own order, non-ASCII characters as they are,
// floats as repr writes them (NaN, Infinity and -Infinity allowed), ints of any size.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

// The text, or null with no exception set when only json.dumps itself can give the text or the
// refusal: an object of a type other than dict, list, tuple (all three exact), str, int, float,
// bool and None, a key json would convert differently or refuse, nesting that could reach the
// interpreter's recursion limit (circular references included), an int past the digit limit,
// or memory that could not be had. Runs no Python code.
Ref standard_json_text(PyObject* value);

}  // namespace rt
