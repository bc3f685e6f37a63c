// Interned attribute and global names, declared where they are used and interned once
// when the module is executed, so lookups hash and compare by pointer.
#pragma once

#include "ref.hpp"

namespace carvola {

class Name {
public:
    explicit Name(const char *text) noexcept;
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;

    PyObject *get() const noexcept { return obj_; }
    operator PyObject *() const noexcept { return obj_; }
    const char *text() const noexcept { return text_; }

    // Interns every Name of this extension module; false with an exception set on failure.
    static bool intern_all() noexcept;

private:
    const char *text_;
    PyObject *obj_ = nullptr;  // interned strings live as long as the interpreter
    Name *next_;
};

}  // namespace carvola
