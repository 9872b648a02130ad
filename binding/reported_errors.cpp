#include "reported_errors.h"

#include <deque>
#include <utility>

namespace {

struct ReportedErrors {
    std::deque<std::string> texts;  // oldest first, at most kMaxReportedErrorsKept
    uint64_t epoch = 0;             // moved on by each take that disowns the running callbacks
};

// Made on first use and never destroyed (see the header). Every caller holds the GIL.
ReportedErrors& record() {
    static ReportedErrors* const kept = new ReportedErrors();
    return *kept;
}

}  // namespace

namespace ostrel_binding {

uint64_t reported_errors_epoch() { return record().epoch; }

void keep_reported_error(uint64_t epoch, std::string text) {
    ReportedErrors& r = record();
    if (epoch != r.epoch) return;
    r.texts.push_back(std::move(text));
    while (r.texts.size() > kMaxReportedErrorsKept) r.texts.pop_front();
}

}  // namespace ostrel_binding

extern "C" PyObject* ostrel_binding_take_reported_errors(int disown_running) {
    ReportedErrors& r = record();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.texts.size()));
    if (list == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (const std::string& text : r.texts) {
        // The texts come from Python's own str, but a native exception's text may be anything.
        PyObject* item = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i++, item);
    }
    r.texts.clear();
    if (disown_running != 0) ++r.epoch;
    return list;
}
