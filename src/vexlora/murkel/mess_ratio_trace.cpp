// The debug records of mess_ratio, logged through the "vexlora" logger at the
// host's TRACE level.
#include "murkel/mess_ratio_trace.h"

#include "murkel/state.h"
#include "shared/pyref.h"

namespace vx::murkel {

namespace {

// `value` rendered as format(value) would.
PyObject* render(PyObject* value) noexcept {
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    return empty ? PyObject_Format(value, empty.get()) : nullptr;
}

PyObject* render_double(double value) noexcept {
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    return number ? render(number.get()) : nullptr;
}

int log_record(PyObject* logger, PyObject* message) noexcept {
    if (message == nullptr) {
        return -1;
    }
    Ref level = Ref::steal(get_global(g.names.n_TRACE));
    if (!level) {
        return -1;
    }
    PyObject* args[] = {logger, level.get(), message};
    Ref result =
        Ref::steal(PyObject_VectorcallMethod(g.names.n_log, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

}  // namespace

int trace_mess_ratio(PyObject* text, Py_ssize_t interval, double mean_ratio, double maximum_threshold,
                     const Ref* plugins, int count) noexcept {
    Ref get_logger = Ref::steal(get_global(g.names.n_getLogger));
    if (!get_logger) {
        return -1;
    }
    Ref logger = Ref::steal(PyObject_CallOneArg(get_logger.get(), g.names.n_vexlora));
    if (!logger) {
        return -1;
    }
    Ref mean = Ref::steal(render_double(mean_ratio));
    Ref threshold = Ref::steal(render_double(maximum_threshold));
    if (!mean || !threshold) {
        return -1;
    }
    Ref start = Ref::steal(PyUnicode_FromFormat(
        "Mess-detector extended-analysis start. intermediary_mean_mess_ratio_calc=%zd mean_mess_ratio=%U "
        "maximum_threshold=%U",
        interval, mean.get(), threshold.get()));
    if (log_record(logger.get(), start.get()) < 0) {
        return -1;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length > 16) {
        Ref head = Ref::steal(PyUnicode_Substring(text, 0, 16));
        Ref head_record = Ref::steal(head ? PyUnicode_FromFormat("Starting with: %U", head.get()) : nullptr);
        if (log_record(logger.get(), head_record.get()) < 0) {
            return -1;
        }
        Ref tail = Ref::steal(PyUnicode_Substring(text, length - 16, length));
        Ref tail_record = Ref::steal(tail ? PyUnicode_FromFormat("Ending with: %U", tail.get()) : nullptr);
        if (log_record(logger.get(), tail_record.get()) < 0) {
            return -1;
        }
    }
    for (int i = 0; i < count; ++i) {
        const Ref& plugin = plugins[i];
        Ref cls = Ref::steal(render(reinterpret_cast<PyObject*>(Py_TYPE(plugin.get()))));
        Ref ratio = Ref::steal(cls ? PyObject_GetAttr(plugin.get(), g.names.n_ratio) : nullptr);
        Ref ratio_text = Ref::steal(ratio ? render(ratio.get()) : nullptr);
        Ref record = Ref::steal(ratio_text ? PyUnicode_FromFormat("%U: %U", cls.get(), ratio_text.get()) : nullptr);
        if (log_record(logger.get(), record.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace vx::murkel
