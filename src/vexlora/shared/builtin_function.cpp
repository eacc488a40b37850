#include "shared/builtin_function.h"

#include <cstring>

namespace vx {

bool BuiltinFunction::is(PyObject* fn) noexcept {
    if (!searched_) {
        // The C function behind the name, from the builtins module's own
        // method table.
        searched_ = true;
        PyObject* raised = PyErr_GetRaisedException();
        PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
        PyModuleDef* def = builtins != nullptr ? PyModule_GetDef(builtins) : nullptr;
        for (PyMethodDef* m = def != nullptr ? def->m_methods : nullptr; m != nullptr && m->ml_name != nullptr; ++m) {
            if (std::strcmp(m->ml_name, name_) == 0) {
                impl_ = m->ml_meth;
                break;
            }
        }
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
    }
    return impl_ != nullptr && PyCFunction_Check(fn) && PyCFunction_GetFunction(fn) == impl_;
}

}  // namespace vx
