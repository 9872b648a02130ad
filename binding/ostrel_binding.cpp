// Module _ostrel: entry point, registration order and the process-wide settings functions.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "callback_gate.h"
#include "ostrel_zulive_sdk.h"

namespace py = pybind11;
using ostrel::live::ZuLiveSDK;

PYBIND11_MODULE(_ostrel, m) {
    m.doc() = "VONU Ostrel Python API (bind with C++ API by pybind11)";

    // The cloud and delegate classes come first, so that their signatures name records and
    // enumerations by their native names.
    ostrel_binding::bind_cloud(m);
    ostrel_binding::bind_delegate(m);
    ostrel_binding::bind_queued_delivery(m);
    ostrel_binding::bind_records(m);
    ostrel_binding::bind_enums(m);

    m.def("SetLogPath", &ZuLiveSDK::SetLogPath, py::arg("path"));
    m.def("SetLogLevel", &ZuLiveSDK::SetLogLevel, py::arg("level"));
    m.def("EnableConsoleLog", &ZuLiveSDK::EnableConsoleLog);
    m.def("DisableConsoleLog", &ZuLiveSDK::DisableConsoleLog);
    m.def("DisableLogCompress", &ZuLiveSDK::DisableLogCompress, py::arg("disabled"));
    m.def("DisableLogFile", &ZuLiveSDK::DisableLogFile, py::arg("disabled"));
    m.def("SetSocks5Proxy", &ZuLiveSDK::SetSocks5Proxy, py::arg("ip"), py::arg("port"), py::arg("username"),
          py::arg("password"));
    m.def("SetEnvironment", &ZuLiveSDK::SetEnvironment, py::arg("env"));

    ostrel_binding::guard_uninitialised(m);

    // Registered now, before the program can register an exit handler that uses a cloud, so
    // that the hook runs after every such handler (atexit runs the last registered first).
    ostrel_binding::install_exit_gate();
}
