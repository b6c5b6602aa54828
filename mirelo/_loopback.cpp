// mirelo._loopback: the loopback's control API for Python. Arguments arrive checked by
// mirelo.loopback; what is converted here is each event's arguments, into copies that the event
// owns, and the loopback's values back into Python ones. Every call into the loopback releases the
// interpreter lock, so that waiting here never keeps a handler from running.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "control/Control.h"

namespace py = pybind11;
namespace control = mirelo::loopback::control;
using mirelo::loopback::Value;
using namespace mirelo::qolt;

namespace {

[[noreturn]] void Raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Turns the loopback's error into Python's, the lock held.
[[noreturn]] void RaiseFailure(const char* what, const char* detail, const std::exception_ptr& failure) {
    const std::string context = detail == nullptr ? std::string(what) : std::string(what) + " " + detail;
    try {
        std::rethrow_exception(failure);
    } catch (const control::Timeout& error) {
        Raise(PyExc_TimeoutError, error.what());
    } catch (const control::Refused& error) {
        Raise(PyExc_ValueError, error.what());
    } catch (const std::bad_alloc& error) {
        Raise(PyExc_MemoryError, std::string("the loopback ran out of memory in ") + context + ": " + error.what());
    } catch (const std::exception& error) {
        Raise(PyExc_RuntimeError, std::string("the loopback failed in ") + context + ": " + error.what());
    }
}

// Takes the interpreter lock back. A thread that takes it while the interpreter finalizes (a daemon
// thread still waiting in emit or flush at exit) is ended there by an unwinding that must not cross
// a destructor, which would end the whole process: such a thread sleeps for good instead.
void RestoreThreadOrPark(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        for (;;) {
            pause();
        }
    }
}

// Runs a call into the loopback without the interpreter lock, its errors turned into Python's; the
// error names the call (`what`, then `detail` when given). Nothing is allocated for the call while it
// waits: in a child made by fork() a waiting thread's stack is gone, and what only it referred to
// would count as leaked.
template <typename Body>
auto Released(const char* what, Body&& body, const char* detail = nullptr) {
    using Result = decltype(body());
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<Result>) {
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
        RestoreThreadOrPark(state);
        if (failure) {
            RaiseFailure(what, detail, failure);
        }
    } else {
        std::optional<Result> result;
        try {
            result.emplace(body());
        } catch (...) {
            failure = std::current_exception();
        }
        RestoreThreadOrPark(state);
        if (failure) {
            RaiseFailure(what, detail, failure);
        }
        return std::move(*result);
    }
}

py::object ToPython(const Value& value) {
    switch (value.tag()) {
        case Value::Tag::kNone:
            return py::none();
        case Value::Tag::kBool:
            return py::bool_(value.as_bool());
        case Value::Tag::kInt:
            return py::int_(value.as_int());
        case Value::Tag::kUInt:
            return py::int_(value.as_uint());
        case Value::Tag::kReal:
            return py::float_(value.as_real());
        case Value::Tag::kBytes:
            return py::bytes(reinterpret_cast<const char*>(value.bytes_data()), value.bytes_size());
        case Value::Tag::kList: {
            py::list items;
            for (const Value& item : value.items()) {
                items.append(ToPython(item));
            }
            return std::move(items);
        }
        case Value::Tag::kDict: {
            py::dict fields;
            for (size_t i = 0; i < value.items().size(); ++i) {
                fields[py::str(value.names()[i])] = ToPython(value.items()[i]);
            }
            return std::move(fields);
        }
    }
    return py::none();
}

// --- an event's arguments, from Python into the copies the event keeps ------------------------------

[[noreturn]] void WrongType(const std::string& what, const char* wanted, py::handle value) {
    Raise(PyExc_TypeError, what + " must be " + wanted + ", not " + Py_TYPE(value.ptr())->tp_name);
}

// An int, an object with __index__, or a member of the module's enumerations (which convert with int()).
int64_t Integer(py::handle value, const std::string& what, int64_t low, int64_t high) {
    if (PyBool_Check(value.ptr())) {
        WrongType(what, "an int", value);
    }
    py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw py::error_already_set();  // the object's own __index__ failed
        }
        PyErr_Clear();
        if (!py::hasattr(py::type::of(value), "__members__")) {
            WrongType(what, "an int", value);
        }
        number = py::int_(py::reinterpret_borrow<py::object>(value));
    }
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0 || result < low || result > high) {
        Raise(PyExc_ValueError, what + " is outside " + std::to_string(low) + ".." + std::to_string(high));
    }
    return result;
}

control::Text LoadText(py::handle value, const std::string& what) {
    if (value.is_none()) {
        return std::nullopt;
    }
    if (!py::isinstance<py::str>(value) && !py::isinstance<py::bytes>(value) && !PyByteArray_Check(value.ptr())) {
        WrongType(what, "a str, bytes or None", value);
    }
    std::string text;
    if (py::isinstance<py::str>(value)) {
        // UTF-8 or UnicodeEncodeError: a lone surrogate has no encoding to pass on.
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (utf8 == nullptr) {
            throw py::error_already_set();
        }
        text.assign(utf8, static_cast<size_t>(size));
    } else {
        text = std::string(py::bytes(py::reinterpret_borrow<py::object>(value)));
    }
    if (text.find('\0') != std::string::npos) {
        Raise(PyExc_ValueError, what + " holds a NUL byte, which would cut the text");
    }
    return text;
}

template <typename T>
T Load(py::handle value, const std::string& what);

// A registered record or frame of _mirelo, copied.
template <typename T>
bool LoadRecord(py::handle value, T& out) {
    if (!py::isinstance<T>(value)) {
        return false;
    }
    // Made with T.__new__(T), __init__ never run: no object was ever constructed in its storage.
    const auto* info = py::detail::get_type_info(typeid(T));
    const auto holder = reinterpret_cast<py::detail::instance*>(value.ptr())->get_value_and_holder(info, false);
    py::detail::make_caster<T> caster;
    if ((holder.inst != nullptr && holder.value_ptr() == nullptr) || !caster.load(value, false)) {
        Raise(PyExc_TypeError, std::string(Py_TYPE(value.ptr())->tp_name) + ".__init__() was not called");
    }
    out = *static_cast<const T*>(caster.value);
    return true;
}

template <typename T>
T Load(py::handle value, const std::string& what) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!PyBool_Check(value.ptr())) {
            WrongType(what, "a bool", value);
        }
        return value.ptr() == Py_True;
    } else if constexpr (std::is_enum_v<T> || std::is_same_v<T, int>) {
        return static_cast<T>(Integer(value, what, INT32_MIN, INT32_MAX));
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return static_cast<T>(Integer(value, what, 0, UINT32_MAX));
    } else if constexpr (std::is_same_v<T, control::Text>) {
        return LoadText(value, what);
    } else if constexpr (std::is_same_v<T, control::Payload>) {
        if (!py::isinstance<py::bytes>(value) && !PyByteArray_Check(value.ptr()) && !PyMemoryView_Check(value.ptr())) {
            WrongType(what, "bytes", value);
        }
        return std::string(py::bytes(py::reinterpret_steal<py::object>(PyBytes_FromObject(value.ptr()))));
    } else if constexpr (std::is_same_v<T, UserInfo>) {
        UserInfo info;  // a UserInfo, or its user id
        if (!LoadRecord(value, info)) {
            info.user_id.SetValue(control::Pass(LoadText(value, what)));
        }
        return info;
    } else if constexpr (std::is_same_v<T, control::VideoOrPixel>) {
        VideoFrame video;
        PixelFrame pixel;
        if (LoadRecord(value, video)) {
            return video;
        }
        if (!LoadRecord(value, pixel)) {
            WrongType(what, "a VideoFrame or a PixelFrame", value);
        }
        return pixel;
    } else if constexpr (std::is_same_v<T, NetworkQualityInfo> || std::is_same_v<T, QOLTVolumeInfo>) {
        // A (user id, value) tuple, or a NetworkQualityInfo.
        T record;
        if constexpr (std::is_same_v<T, NetworkQualityInfo>) {
            if (LoadRecord(value, record)) {
                return record;
            }
        }
        if (!py::isinstance<py::tuple>(value) || py::len(value) != 2) {
            WrongType(what, "a (user_id, value) tuple", value);
        }
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(value);
        record.user_id = Load<UserInfo>(pair[0], what + " user id").user_id;
        if constexpr (std::is_same_v<T, NetworkQualityInfo>) {
            record.quality = Load<NetworkQuality>(pair[1], what + " value");
        } else {
            record.volume = Load<uint32_t>(pair[1], what + " value");
        }
        return record;
    } else if constexpr (std::is_same_v<T, std::optional<NetworkQualityInfo>>) {
        return value.is_none() ? T() : T(Load<NetworkQualityInfo>(value, what));
    } else if constexpr (std::is_same_v<T, std::vector<NetworkQualityInfo>> ||
                         std::is_same_v<T, std::vector<QOLTVolumeInfo>>) {
        if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) {
            WrongType(what, "a list of (user_id, value) tuples", value);
        }
        T records;
        const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
        for (size_t i = 0; i < items.size(); ++i) {
            records.push_back(Load<typename T::value_type>(items[i], what + "[" + std::to_string(i) + "]"));
        }
        return records;
    } else {
        T record;
        if (!LoadRecord(value, record)) {
            WrongType(what, py::type_id<T>().c_str(), value);
        }
        return record;
    }
}

template <typename... Args, size_t... Index>
std::tuple<Args...> LoadAll(const std::string& name, const py::tuple& args, std::index_sequence<Index...>) {
    // Braced: converted in order, so that the first wrong argument is the one named.
    return std::tuple<Args...>{Load<Args>(args[Index], name + " argument " + std::to_string(Index + 1))...};
}

Value Tunables(const py::dict& changes) {
    Value dict = Value::Dict();
    for (const auto& item : changes) {
        const std::string name = py::str(item.first);
        dict.Add(name, py::isinstance<py::float_>(item.second)
                           ? Value::Real(item.second.cast<double>())
                           : Value::Int(Integer(item.second, name, INT64_MIN, INT64_MAX)));
    }
    return dict;
}

// Raises one event of the table by its name; false when no event has that name.
template <typename... Args>
bool Emit(const control::Event<Args...>& event, uint64_t cloud, const std::string& name, const py::tuple& args,
          uint32_t repeat, double timeout) {
    if (name != event.name) {
        return false;
    }
    if (args.size() != sizeof...(Args)) {
        Raise(PyExc_TypeError, name + " takes " + std::to_string(sizeof...(Args)) + " arguments (" +
                                   std::to_string(args.size()) + " given)");
    }
    std::tuple<Args...> kept = LoadAll<Args...>(name, args, std::index_sequence_for<Args...>());
    control::Delivery delivery = std::apply([&](Args&... values) { return event.Bind(std::move(values)...); }, kept);
    Released(
        "emit", [&] { control::Emit(cloud, event.operation, std::move(delivery), repeat, timeout); }, event.name);
    return true;
}

}  // namespace

// Like _mirelo, the main interpreter's only: the loopback's threads report to it.
PYBIND11_MODULE(_loopback, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "The loopback SDK's control API (see mirelo.loopback)";
    py::module_::import("mirelo._mirelo");  // the records and frames that events take

    m.def("events", [] {
        return std::apply([](const auto&... event) { return std::vector<std::string>{event.name...}; },
                          control::kEvents);
    });
    m.def("emit", [](uint64_t cloud, const std::string& name, const py::tuple& args, double timeout, uint32_t repeat) {
        const bool known =
            std::apply([&](const auto&... event) { return (Emit(event, cloud, name, args, repeat, timeout) || ...); },
                       control::kEvents);
        if (!known) {
            Raise(PyExc_ValueError, "no delegate operation is named '" + name + "'");
        }
    });
    m.def("flush", [](double timeout) { Released("flush", [&] { control::Flush(timeout); }); });
    m.def("clouds", [] { return Released("a snapshot", [] { return control::Clouds(); }); });
    m.def("clouds_serving", [](py::handle target) {
        // A cloud is known by its delegate, which the cloud object keeps alive (as its patient).
        std::vector<PyObject*> delegates{target.ptr()};
        if (!py::isinstance<QOLTCloudDelegate>(target)) {
            delegates.clear();
            py::detail::with_internals([&](py::detail::internals& internals) {
                const auto found = internals.patients.find(target.ptr());
                if (found != internals.patients.end()) {
                    delegates = found->second;
                }
            });
        }
        std::vector<uint64_t> handles;
        for (PyObject* delegate : delegates) {
            if (py::isinstance<QOLTCloudDelegate>(delegate)) {
                const QOLTCloudDelegate* pointer = py::cast<const QOLTCloudDelegate*>(delegate);
                for (uint64_t handle : Released("handle_of", [&] { return control::CloudsServing(pointer); })) {
                    handles.push_back(handle);
                }
            }
        }
        return handles;
    });
    const auto snapshot = [&m](const char* name, Value (*read)()) {
        m.def(name, [read] { return ToPython(Released("a snapshot", read)); });
    };
    snapshot("journal", &control::JournalEntries);
    snapshot("failures", &control::FailureEntries);
    snapshot("stats", &control::CloudStats);
    snapshot("state", &control::CloudStates);
    snapshot("settings", &control::SdkSettings);
    snapshot("retention", &control::RetentionCounts);
    snapshot("limits", &control::Limits);
    snapshot("configuration", &control::Tunables);
    m.def("reset", [](bool configuration) { Released("reset", [&] { control::Reset(configuration); }); });
    m.def("injectable", &control::Injectable);
    m.def("inject", [](uint64_t cloud, const std::string& operation, int32_t result, uint32_t count) {
        Released("inject", [&] { control::Inject(cloud, operation, result, count); });
    });
    m.def("fail_next_cloud",
          [](int32_t result) { Released("fail_next_cloud", [&] { control::FailNextCloud(result); }); });
    m.def("configure", [](const py::dict& changes) {
        const Value values = Tunables(changes);
        Released("configure", [&] { control::Configure(values); });
    });
    m.def("fail_next", [](const std::string& fault) {
        static const std::pair<const char*, control::Fault> kFaults[] = {
            {"snapshot_memory", control::Fault::kSnapshotMemory},
            {"snapshot_internal", control::Fault::kSnapshotInternal},
            {"clock_start", control::Fault::kClockStart}};
        for (const auto& entry : kFaults) {
            if (fault == entry.first) {
                return Released("fail_next", [&] { control::FailNext(entry.second); });
            }
        }
        Raise(PyExc_ValueError, "no fault is named '" + fault + "'");
    });
}
