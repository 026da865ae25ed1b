// _corvel_bench_pb: what pybind11 itself costs per call, for bench_calls.py.
// Built by bench/native.py next to _corvel_bench.
//
// A class bound the plainest way pybind11 allows, whose methods take the same
// C++ arguments as the module's VORACloud methods (the frame and enumeration
// types are the ones _corvel registered: pybind11 shares registered types
// between modules) and do nothing, and a record with one def_readwrite field.
// The gap between these and a METH_FASTCALL no-op is pybind11's dispatcher;
// the gap between the module and these is the module's own doing.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "vora/corvel_vora_cloud.h"
#include "vora/corvel_vora_defines.h"

namespace py = pybind11;
using namespace corvel::vora;

namespace {

struct Plain {
  int SendAudioFrame(const AudioFrame&) { return 0; }
  int SendCustomCmdMsg(int32_t, const py::bytes&, bool, bool) { return 1; }
  int Subscribe(const std::string&, StreamType) { return 0; }
};

struct PlainRecord {
  int sample_rate = 48000;
};

}  // namespace

PYBIND11_MODULE(_corvel_bench_pb, m) {
  py::module_::import("_corvel");  // registers the frame, string and enum types
  py::class_<Plain>(m, "Plain")
      .def(py::init<>())
      .def("SendAudioFrame", &Plain::SendAudioFrame, py::arg("frame"))
      .def("SendCustomCmdMsg", &Plain::SendCustomCmdMsg, py::arg("cmd_id"), py::arg("message"),
           py::arg("reliable"), py::arg("ordered"))
      .def("Subscribe", &Plain::Subscribe, py::arg("user_id"), py::arg("type"));
  py::class_<PlainRecord>(m, "PlainRecord")
      .def(py::init<>())
      .def_readwrite("sample_rate", &PlainRecord::sample_rate);
}
