// The benchmark's native module. Floors: a hand-written CPython C-API trampoline, either keeping one
// thread state per SDK thread (the best CPython allows) or taking a fresh one per event (what
// PyGILState_Ensure on a foreign thread costs); a native delegate that does nothing (the loopback's
// own cost); empty methods with the binding's argument types; memcpy.
#include <pybind11/pybind11.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qolt/mirelo_qolt_cloud.h"

namespace py = pybind11;
using namespace mirelo::qolt;

namespace {

// Thread state of a loopback event thread for the persistent floor, kept until the thread ends.
struct KeptThreadState {
    PyThreadState* state = nullptr;
    ~KeptThreadState() {
        if (state == nullptr || _Py_IsFinalizing()) {
            return;
        }
        // Finalization may begin between the check and the lock, and the interpreter then ends this
        // thread by forced unwinding, which must not leave a destructor: the thread sleeps for good.
        try {
            PyEval_RestoreThread(state);
        } catch (...) {
            for (;;) {
                pause();
            }
        }
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    }
};
thread_local KeptThreadState kept_thread_state;

// Does nothing with any event: what the loopback costs by itself.
class NoopDelegate : public QOLTCloudDelegate {
public:
    void OnError(Error) override {}
    void OnConnectionStateChanged(ConnectionState, ConnectionState) override {}
    void OnEnterRoom() override {}
    void OnExitRoom() override {}
    void OnLocalAudioChannelCreated() override {}
    void OnLocalAudioChannelDestroyed() override {}
    void OnLocalVideoChannelCreated(StreamType) override {}
    void OnLocalVideoChannelDestroyed(StreamType) override {}
    void OnRequestChangeVideoEncodeBitrate(StreamType, int) override {}
    void OnRequestKeyFrame(StreamType) override {}
    void OnRemoteUserEnterRoom(const UserInfo&) override {}
    void OnRemoteUserExitRoom(const UserInfo&, int) override {}
    void OnRemoteAudioAvailable(const char*, bool) override {}
    void OnRemoteVideoAvailable(const char*, bool, StreamType) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const VideoFrame&) override {}
    void OnRemoteVideoReceived(const char*, StreamType, const PixelFrame&) override {}
    void OnRemoteAudioReceived(const char*, const AudioFrame&) override {}
    void OnRemoteMixedAudioReceived(const AudioFrame&) override {}
    void OnSeiMessageReceived(const char*, StreamType, int, const char*, size_t) override {}
    void OnReceiveCustomCmdMsg(const char*, int32_t, uint32_t, const char*, size_t) override {}
    void OnMissCustomCmdMsg(const char*, int32_t, uint32_t, uint32_t) override {}
    void OnNetworkQuality(NetworkQualityInfo*, NetworkQualityInfo*, size_t) override {}
};

class CApiDelegate final : public NoopDelegate {
public:
    CApiDelegate(py::object handler, bool persistent)
        : handler_(handler.release().ptr()), persistent_(persistent), interpreter_(PyInterpreterState_Get()) {
        enter_ = PyUnicode_InternFromString("OnEnterRoom");
        audio_ = PyUnicode_InternFromString("OnRemoteAudioReceived");
        message_ = PyUnicode_InternFromString("OnReceiveCustomCmdMsg");
        quality_ = PyUnicode_InternFromString("OnNetworkQuality");
    }
    ~CApiDelegate() override {  // runs with the interpreter lock held
        Py_DECREF(handler_);
        Py_DECREF(enter_);
        Py_DECREF(audio_);
        Py_DECREF(message_);
        Py_DECREF(quality_);
    }

    void OnEnterRoom() override {
        Call([&] { return PyObject_CallMethodNoArgs(handler_, enter_); });
    }
    void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
        Call([&] {
            PyObject* user = PyUnicode_FromString(user_id);
            PyObject* data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()), frame.size());
            PyObject* result = PyObject_CallMethodObjArgs(handler_, audio_, user, data, nullptr);
            Py_XDECREF(user);
            Py_XDECREF(data);
            return result;
        });
    }
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override {
        Call([&] {
            PyObject* user = PyUnicode_FromString(user_id);
            PyObject* cmd = PyLong_FromLong(cmd_id);
            PyObject* number = PyLong_FromUnsignedLong(seq);
            PyObject* data = PyBytes_FromStringAndSize(message, static_cast<Py_ssize_t>(length));
            PyObject* result = PyObject_CallMethodObjArgs(handler_, message_, user, cmd, number, data, nullptr);
            Py_XDECREF(user);
            Py_XDECREF(cmd);
            Py_XDECREF(number);
            Py_XDECREF(data);
            return result;
        });
    }
    void OnNetworkQuality(NetworkQualityInfo* local, NetworkQualityInfo* remote, size_t count) override {
        Call([&] {
            PyObject* local_arg = Record(local);
            PyObject* remote_arg = PyList_New(static_cast<Py_ssize_t>(count));
            for (size_t i = 0; i < count; ++i) {
                PyList_SET_ITEM(remote_arg, static_cast<Py_ssize_t>(i), Record(&remote[i]));
            }
            PyObject* result = PyObject_CallMethodObjArgs(handler_, quality_, local_arg, remote_arg, nullptr);
            Py_XDECREF(local_arg);
            Py_XDECREF(remote_arg);
            return result;
        });
    }

private:
    static PyObject* Record(const NetworkQualityInfo* info) {
        const char* user = info != nullptr ? info->user_id.GetValue() : "";
        return Py_BuildValue("(si)", user, info != nullptr ? static_cast<int>(info->quality) : 6);
    }

    template <typename Body>
    void Call(Body body) {
        PyGILState_STATE fresh{};
        if (persistent_) {
            if (kept_thread_state.state == nullptr) {
                kept_thread_state.state = PyThreadState_New(interpreter_);
            }
            PyEval_RestoreThread(kept_thread_state.state);
        } else {
            fresh = PyGILState_Ensure();
        }
        PyObject* result = body();
        if (result == nullptr) {
            PyErr_Print();
        }
        Py_XDECREF(result);
        if (persistent_) {
            PyEval_SaveThread();
        } else {
            PyGILState_Release(fresh);
        }
    }

    PyObject* handler_;
    const bool persistent_;
    PyInterpreterState* interpreter_;
    PyObject* enter_;
    PyObject* audio_;
    PyObject* message_;
    PyObject* quality_;
};

// A cloud made by the benchmark, with the delegate it reports to.
struct BenchCloud {
    std::unique_ptr<QOLTCloudDelegate> delegate;
    QOLTCloud* cloud = nullptr;
};
std::map<uintptr_t, std::unique_ptr<BenchCloud>> bench_clouds;

uintptr_t Adopt(std::unique_ptr<QOLTCloudDelegate> delegate) {
    auto entry = std::make_unique<BenchCloud>();
    entry->delegate = std::move(delegate);
    entry->cloud = QOLTCloud::Create(entry->delegate.get());
    const auto id = reinterpret_cast<uintptr_t>(entry.get());
    bench_clouds[id] = std::move(entry);
    return id;
}

QOLTCloud& CloudOf(uintptr_t id) { return *bench_clouds.at(id)->cloud; }

template <typename Call>
double NanosecondsPerCall(int count, Call call) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        call();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / count;
}

struct EmptyRecord {
    int value = 0;
};

// Methods with the room client's argument types that do nothing with them.
struct EmptyCloud {
    int SendAudioFrame(const AudioFrame&) { return 0; }
    int SendCustomCmdMsg(int32_t, py::bytes, bool, bool) { return 1; }
    int Subscribe(const std::string&, StreamType) { return 0; }
};

}  // namespace

PYBIND11_MODULE(_bench_floor, m) {
    m.def("create_floor_cloud", [](py::object handler, bool persistent) {
        return Adopt(std::make_unique<CApiDelegate>(handler, persistent));
    });
    m.def("create_native_cloud", [] { return Adopt(std::make_unique<NoopDelegate>()); });
    m.def("destroy_cloud", [](uintptr_t id) {
        auto node = bench_clouds.extract(id);
        {
            py::gil_scoped_release release;  // the event thread may be waiting for the lock
            QOLTCloud::Destroy(node.mapped()->cloud);
        }
    });
    m.def("enter_room", [](uintptr_t id, const EnterRoomParams& params) { return CloudOf(id).EnterRoom(params); });
    m.def("create_audio_channel",
          [](uintptr_t id, const AudioEncodeParams& params) { return CloudOf(id).CreateLocalAudioChannel(params); });
    m.def("send_audio_ns", [](uintptr_t id, const AudioFrame& frame, int count) {
        QOLTCloud& cloud = CloudOf(id);
        return NanosecondsPerCall(count, [&] { cloud.SendAudioFrame(frame); });
    });
    m.def("send_custom_ns", [](uintptr_t id, py::bytes message, int count) {
        QOLTCloud& cloud = CloudOf(id);
        const std::string text = message;
        return NanosecondsPerCall(count, [&] { cloud.SendCustomCmdMsg(1, text.data(), text.size(), true, true); });
    });
    m.def("subscribe_ns", [](uintptr_t id, const std::string& user_id, StreamType type, int count) {
        QOLTCloud& cloud = CloudOf(id);
        return NanosecondsPerCall(count, [&] { cloud.Subscribe(user_id.c_str(), type); });
    });
    m.def("memcpy_ns", [](size_t size, int count) {
        std::vector<uint8_t> source(size, 1);
        std::vector<uint8_t> target(size, 0);
        std::memcpy(target.data(), source.data(), size);  // both buffers warm before timing
        return NanosecondsPerCall(count, [&] {
            std::memcpy(target.data(), source.data(), size);
            asm volatile("" : : "r"(target.data()) : "memory");
        });
    });

    py::class_<EmptyRecord>(m, "EmptyRecord").def(py::init<>()).def_readwrite("value", &EmptyRecord::value);
    py::class_<EmptyCloud>(m, "EmptyCloud")
        .def(py::init<>())
        .def("SendAudioFrame", &EmptyCloud::SendAudioFrame, py::arg("frame"))
        .def("SendCustomCmdMsg", &EmptyCloud::SendCustomCmdMsg, py::arg("cmd_id"), py::arg("message"),
             py::arg("reliable"), py::arg("ordered"))
        .def("Subscribe", &EmptyCloud::Subscribe, py::arg("user_id"), py::arg("type"));
}
