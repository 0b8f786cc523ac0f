// The code objects that describe the module's functions to introspection: a signature, names,
// a first line and a line per step of the body, and no bytecode that the module runs.
#include "runtime/function.hpp"

#include <opcode.h>

#include <string>

namespace rt {

namespace {

constexpr int kOptimized = 0x0001;   // CO_OPTIMIZED
constexpr int kNewLocals = 0x0002;   // CO_NEWLOCALS
constexpr int kResumeAfterAwait = 3;  // RESUME's argument after an await

Ref names_tuple(std::span<const char* const> names) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return {};
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

// One instruction per step: the first (the function's entry, at its first line) and one for each
// step of the body, at the step's line, which a frame standing on it reports. After them, the
// same steps again, each followed by the resumption after an await, for a suspended coroutine's
// frame that the interpreter's own coroutine machinery may reach (see coroutine_lent.cpp): from
// there, the interpreter finds what the coroutine awaits on its frame's stack, and bytecode it
// runs goes no further than the final yield, which hands back what it was sent.
Ref step_instructions(size_t steps) {
    std::string code;
    auto unit = [&](int opcode, int arg) {
        code += static_cast<char>(opcode);
        code += static_cast<char>(arg);
    };
    unit(RESUME, 0);
    for (size_t i = 0; i < steps; ++i) unit(NOP, 0);
    for (size_t i = 0; i <= steps; ++i) {
        unit(NOP, 0);
        unit(RESUME, kResumeAfterAwait);
    }
    unit(YIELD_VALUE, 0);
    return Ref::steal(PyBytes_FromStringAndSize(code.data(), static_cast<Py_ssize_t>(code.size())));
}

// The location table of those instructions: one entry each, a line and no columns, each line
// written as its distance from the previous one.
Ref step_locations(int first_line, std::span<const int> lines) {
    constexpr int kLineOnly = 13;  // an entry with a line and no column information
    std::string table;
    int previous = first_line;
    auto entry = [&](int line, int units = 1) {
        table += static_cast<char>(0x80 | (kLineOnly << 3) | (units - 1));
        const int delta = line - previous;
        unsigned value = delta < 0 ? (static_cast<unsigned>(-delta) << 1) | 1 : static_cast<unsigned>(delta) << 1;
        while (value >= 64) {
            table += static_cast<char>(0x40 | (value & 63));
            value >>= 6;
        }
        table += static_cast<char>(value);
        previous = line;
    };
    entry(first_line);
    for (int line : lines) entry(line);
    // The steps again, two units each (see step_instructions), then the final yield.
    entry(first_line, 2);
    for (int line : lines) entry(line, 2);
    entry(lines.empty() ? first_line : lines.back());
    return Ref::steal(PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())));
}

}  // namespace

Ref make_code(PyObject* filename, const CodeShape& shape) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        PyUnicode_AsUTF8(filename), shape.name, shape.first_line)));
    if (!code) return {};
    Ref varnames = names_tuple(shape.varnames);
    Ref freevars = names_tuple(shape.freevars);
    Ref cellvars = names_tuple(shape.cellvars);
    Ref qualname = Ref::steal(PyUnicode_FromString(shape.qualname));
    if (!varnames || !freevars || !cellvars || !qualname) return {};
    // Room is kept for two values on a coroutine frame's stack (see coroutine_lent.cpp).
    if (shape.varnames.size() + shape.freevars.size() + kFrameStackRoom > static_cast<size_t>(kFrameSlots)) {
        PyErr_SetString(PyExc_SystemError, "too many variables for a native function's frame");
        return {};
    }
    Ref instructions = step_instructions(shape.lines.size());
    Ref locations = step_locations(shape.first_line, shape.lines);
    if (!instructions || !locations) return {};
    int flags = kOptimized | kNewLocals;
    if (shape.varargs) flags |= CO_VARARGS;
    if (shape.varkw) flags |= CO_VARKEYWORDS;
    if (shape.nested) flags |= CO_NESTED;
    if (shape.coroutine) flags |= CO_COROUTINE;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:O,s:O,s:i,s:i,s:i,s:n,s:i,s:O,s:O,s:O,s:O}", "co_code", instructions.get(), "co_linetable",
        locations.get(), "co_argcount", shape.argcount, "co_posonlyargcount",
        shape.posonly, "co_kwonlyargcount", 0, "co_nlocals", PyTuple_GET_SIZE(varnames.get()), "co_flags",
        flags, "co_varnames", varnames.get(), "co_freevars", freevars.get(), "co_cellvars", cellvars.get(),
        "co_qualname", qualname.get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!replace || !kwargs || !empty) return {};
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

}  // namespace rt
