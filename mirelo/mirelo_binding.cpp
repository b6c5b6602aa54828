// The _mirelo extension module: Python classes over the media SDK's room client, its delegate and
// its value types, and the SDK-wide settings functions.
#include <pybind11/pybind11.h>

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mirelo_sdk.h"
#include "qolt/mirelo_qolt_cloud.h"
#include "qolt/mirelo_qolt_defines.h"

namespace py = pybind11;

using mirelo::qolt::AudioCodecType;
using mirelo::qolt::AudioEncodeParams;
using mirelo::qolt::AudioFrame;
using mirelo::qolt::AudioObtainMethod;
using mirelo::qolt::AudioObtainParams;
using mirelo::qolt::ConnectionState;
using mirelo::qolt::EnterRoomParams;
using mirelo::qolt::Error;
using mirelo::qolt::NetworkQuality;
using mirelo::qolt::NetworkQualityInfo;
using mirelo::qolt::PixelFrame;
using mirelo::qolt::QOLTCloud;
using mirelo::qolt::QOLTCloudDelegate;
using mirelo::qolt::QOLTRole;
using mirelo::qolt::QOLTScene;
using mirelo::qolt::QoltString;
using mirelo::qolt::RoomParams;
using mirelo::qolt::StreamType;
using mirelo::qolt::UserInfo;
using mirelo::qolt::VADParams;
using mirelo::qolt::VideoCodecType;
using mirelo::qolt::VideoEncodeParams;
using mirelo::qolt::VideoFrame;
using mirelo::qolt::VideoPixelFormat;
using mirelo::qolt::VideoRotation;
using mirelo::live::ZQLiveSDK;

// A text argument that remembers how many bytes it holds, so that a length passed beside it can be
// checked before the SDK reads that many bytes. A null text holds no bytes.
struct SizedText {
    std::string bytes;
    bool is_null = true;

    const char* c_str() const { return is_null ? nullptr : bytes.c_str(); }
    size_t size() const { return is_null ? 0 : bytes.size(); }
};

// Text that the SDK receives as a NUL-terminated string. A NUL inside the text would silently cut it
// there (a user id "alice\0junk" would name "alice"), so such text is refused before any SDK call, as
// the standard library refuses an embedded NUL in a path. CString refuses None; NullableCString
// passes it as a null pointer.
struct CString : std::string {};
struct NullableCString {
    CString text;
    bool is_null = true;

    const char* c_str() const { return is_null ? nullptr : text.c_str(); }
};

namespace pybind11 {
namespace detail {

// Converts like a const char* parameter: str as UTF-8, bytes and bytearray byte for byte, and None
// as a null text, the last only once every overload has been tried without conversion.
template <>
struct type_caster<SizedText> {
    PYBIND11_TYPE_CASTER(SizedText, const_name("str"));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            if (!convert) {
                return false;
            }
            value = SizedText{};
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(src, convert)) {
            return false;
        }
        value.bytes = cast_op<std::string&&>(std::move(text));
        value.is_null = false;
        return true;
    }
};

template <>
struct type_caster<CString> {
    PYBIND11_TYPE_CASTER(CString, const_name("str"));

    bool load(handle src, bool convert) {
        make_caster<std::string> text;
        if (!text.load(src, convert)) {
            return false;
        }
        std::string& loaded = cast_op<std::string&>(text);
        if (loaded.find('\0') != std::string::npos) {
            throw value_error("embedded null character");
        }
        static_cast<std::string&>(value) = std::move(loaded);
        return true;
    }
};

template <>
struct type_caster<NullableCString> {
    PYBIND11_TYPE_CASTER(NullableCString, const_name("str"));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            if (!convert) {
                return false;
            }
            value = NullableCString{};
            return true;
        }
        make_caster<CString> text;
        if (!text.load(src, convert)) {
            return false;
        }
        value.text = cast_op<CString&&>(std::move(text));
        value.is_null = false;
        return true;
    }
};

// Refuses an instance that was made with Class.__new__(Class) and never initialised: pybind11 would
// otherwise hand its methods storage in which no object was ever constructed. Every class of the
// module converts its instances through this; the enumerations hold a plain integer and need not.
template <typename T>
class initialised_type_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        // An instance of the class whose value was never set: __init__ never ran. (A view of a nested
        // record has a value but no holder, so the value is what tells.) The class's record is looked
        // up once: a lookup by the C++ type hashes its name, on every call of every method.
        static const type_info* registered = nullptr;  // read and written with the lock held
        if (registered == nullptr) {
            registered = get_type_info(typeid(T));
        }
        const type_info* info = registered;
        if (info != nullptr && PyObject_TypeCheck(src.ptr(), info->type)) {
            auto* self = reinterpret_cast<instance*>(src.ptr());
            const value_and_holder holder = self->get_value_and_holder(info, false);
            if (holder.inst != nullptr && holder.value_ptr() == nullptr) {
                const std::string name = Py_TYPE(src.ptr())->tp_name;
                throw type_error(name + ".__init__() was not called: create the object by calling " + name + "(...)");
            }
        }
        return type_caster_base<T>::load(src, convert);
    }
};

}  // namespace detail
}  // namespace pybind11

class QOLTCloudWrapper;

#define MIRELO_REFUSE_UNINITIALISED(Type)                              \
    namespace pybind11 {                                               \
    namespace detail {                                                 \
    template <>                                                        \
    class type_caster<Type> : public initialised_type_caster<Type> {}; \
    }                                                                  \
    }

MIRELO_REFUSE_UNINITIALISED(QOLTCloudWrapper)
MIRELO_REFUSE_UNINITIALISED(QOLTCloudDelegate)
MIRELO_REFUSE_UNINITIALISED(QoltString)
MIRELO_REFUSE_UNINITIALISED(RoomParams)
MIRELO_REFUSE_UNINITIALISED(EnterRoomParams)
MIRELO_REFUSE_UNINITIALISED(AudioEncodeParams)
MIRELO_REFUSE_UNINITIALISED(VideoEncodeParams)
MIRELO_REFUSE_UNINITIALISED(NetworkQualityInfo)
MIRELO_REFUSE_UNINITIALISED(UserInfo)
MIRELO_REFUSE_UNINITIALISED(AudioObtainParams)
MIRELO_REFUSE_UNINITIALISED(VADParams)
MIRELO_REFUSE_UNINITIALISED(AudioFrame)
MIRELO_REFUSE_UNINITIALISED(VideoFrame)
MIRELO_REFUSE_UNINITIALISED(PixelFrame)
#undef MIRELO_REFUSE_UNINITIALISED

// The entry point's first checks, before pybind11 is touched: the interpreter's version, as pybind11
// checks it, and then the interpreter itself. The SDK's threads report to the main interpreter, and
// pybind11's shared state would wait forever for the main interpreter's lock inside a sub-interpreter's
// import: that import is refused at once instead.
#undef PYBIND11_CHECK_PYTHON_VERSION
#define PYBIND11_CHECK_PYTHON_VERSION                                                                           \
    {                                                                                                           \
        const char* compiled_ver = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION); \
        const char* runtime_ver = Py_GetVersion();                                                              \
        size_t len = std::strlen(compiled_ver);                                                                 \
        if (std::strncmp(runtime_ver, compiled_ver, len) != 0 ||                                                \
            (runtime_ver[len] >= '0' && runtime_ver[len] <= '9')) {                                             \
            PyErr_Format(PyExc_ImportError,                                                                     \
                         "Python version mismatch: module was compiled for Python %s, "                         \
                         "but the interpreter version is incompatible: %s.",                                    \
                         compiled_ver, runtime_ver);                                                            \
            return nullptr;                                                                                     \
        }                                                                                                       \
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {                                            \
            PyErr_SetString(PyExc_ImportError,                                                                  \
                            "_mirelo cannot be imported in a sub-interpreter: the SDK's threads "               \
                            "report to the main interpreter");                                                  \
            return nullptr;                                                                                     \
        }                                                                                                       \
    }

namespace {

// Life at the edges of the interpreter.
//
// CPython 3.11 ends a thread that takes the interpreter lock once finalization has begun: the thread
// leaves through forced unwinding, which runs every C++ destructor on its way out, without the lock.
// A destructor that drops a Python object then frees it without the lock, and a noexcept one aborts
// the process. So no thread of ours is ever ended that way: every place where one of our threads may
// take the lock is wrapped so that the forced unwinding is caught right there, where only the
// interpreter's own frames lie between the catch and the point where it began, and the thread parks
// (sleeps for good) instead. It holds no lock and owns nothing that anyone waits for; it dies with
// the process.
//
// The forced unwinding is caught with catch (...): it carries no C++ object to bind a reference to,
// and nothing else can leave the interpreter's C code. Where C++ code of ours or pybind11's is called
// too, std::exception is caught first, and whatever is not one is the unwinding.
[[noreturn]] void ParkForever() noexcept {
    for (;;) {
        pause();
    }
}

// Whether the calling thread, whose state is `own`, holds the interpreter lock. (PyGILState_Check
// would answer yes for every thread once any sub-interpreter has been created.)
bool HoldsInterpreterLock(PyThreadState* own) { return own != nullptr && own == _PyThreadState_UncheckedGet(); }

// The same, looking this thread's state up.
bool HoldsInterpreterLock() { return HoldsInterpreterLock(PyGILState_GetThisThreadState()); }

// Takes the interpreter lock with `state`, or parks.
void RestoreThreadOrPark(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        ParkForever();
    }
}

// Drops a reference with the lock held. Freeing an object may run Python code (__del__, weakref
// callbacks), which may give up the lock and be ended when taking it back: park there too.
void ReleaseOrPark(PyObject* object) noexcept {
    try {
        Py_XDECREF(object);
    } catch (...) {
        ParkForever();
    }
}

// Reads the pending Python error's text, as pybind11 describes it, and clears the error. Reading it
// may run Python code (the exception's __str__, releasing its traceback's frames); the error lives on
// the heap so that nothing is freed on the way out if the thread is ended meanwhile.
std::string TakeErrorText() {
    py::error_already_set* error = nullptr;
    try {
        error = new py::error_already_set();
        std::string text = error->what();
        delete error;
        return text;
    } catch (const std::exception&) {
        delete error;
        throw;
    } catch (...) {
        ParkForever();
    }
}

// Events counted from the moment they reach the trampoline until they leave it, and whether Python
// still takes them. At exit the module stops admitting events and lets those already admitted run to
// their end, for a bounded time: a handler still running after that parks when it next takes the lock.
// Each thread counts in a slot of its own (threads share one only past kInFlightSlots), so that events
// on several threads do not fight over one cache line; the exit drain adds the slots up.
struct alignas(64) InFlightSlot {
    std::atomic<int> events{0};
};
constexpr size_t kInFlightSlots = 64;
InFlightSlot events_in_flight[kInFlightSlots];
std::atomic<size_t> in_flight_slots_taken{0};
thread_local std::atomic<int>& own_events_in_flight =
    events_in_flight[in_flight_slots_taken.fetch_add(1) % kInFlightSlots].events;

int EventsInFlight() {
    int events = 0;
    for (const InFlightSlot& slot : events_in_flight) {
        events += slot.events.load();
    }
    return events;
}
std::atomic<bool> events_closed{false};
// Set when the exit drain gave up on a handler still running: its thread may park for good, so from
// then on no cloud is destroyed (Destroy would wait for that thread): clouds are left to the process.
std::atomic<bool> exit_drain_gave_up{false};
constexpr auto kExitDrainLimit = std::chrono::seconds(5);

// The Python thread state of an SDK thread that Python had never seen: made on the thread's first
// event and kept for the thread's life, so that each later event only takes the interpreter lock.
// Released when the thread ends, unless the interpreter is finalizing, which deletes it itself.
class ThreadStateKeeper {
public:
    ThreadStateKeeper() = default;
    ThreadStateKeeper(const ThreadStateKeeper&) = delete;
    ThreadStateKeeper& operator=(const ThreadStateKeeper&) = delete;

    ~ThreadStateKeeper() {
        if (state_ == nullptr || _Py_IsFinalizing()) {
            return;
        }
        // Finalization may begin between the check and the lock: then this thread parks.
        try {
            PyEval_RestoreThread(state_);
            PyGILState_Release(PyGILState_UNLOCKED);  // the last count: clears and deletes the state
        } catch (...) {
            ParkForever();
        }
    }

    // Makes this thread's state and takes the lock with it. The state is made as PyGILState_Ensure
    // makes it, bound to this thread and with its count at one; that count is kept until the thread
    // ends, so code that brackets itself with Ensure and Release on this thread never deletes the
    // state under us. It is made apart from taking the lock, and never while another thread forks:
    // making a state holds the interpreter's list of thread states without the interpreter lock,
    // and a child forked meanwhile would wait for that list forever as it starts.
    void Adopt() noexcept {
        try {
            {
                std::lock_guard<std::mutex> no_fork(thread_states_made);
                state_ = PyThreadState_New(PyInterpreterState_Main());
            }
            PyEval_RestoreThread(state_);
        } catch (...) {
            ParkForever();
        }
    }

    // Held across fork() (see Adopt).
    static std::mutex thread_states_made;
    static void BeforeFork() { thread_states_made.lock(); }
    static void AfterFork() { thread_states_made.unlock(); }

private:
    PyThreadState* state_ = nullptr;
};

std::mutex ThreadStateKeeper::thread_states_made;

thread_local ThreadStateKeeper thread_state_keeper;

// Holds the interpreter lock for one event. A Python thread that calls a base event method already
// holds it; an SDK thread takes it with the state it keeps, or parks if it is being ended.
class EventLock {
public:
    EventLock() {
        PyThreadState* state = PyGILState_GetThisThreadState();
        if (HoldsInterpreterLock(state)) {
            return;
        }
        if (state == nullptr) {
            thread_state_keeper.Adopt();
        } else {
            RestoreThreadOrPark(state);
        }
        taken_ = true;
    }
    EventLock(const EventLock&) = delete;
    EventLock& operator=(const EventLock&) = delete;
    ~EventLock() { Release(); }

    // Whether the event was raised by Python itself (a base event method called from Python), on a
    // thread that held the lock already.
    bool raised_by_python() const { return !taken_; }

    void Release() {
        if (taken_) {
            taken_ = false;
            PyEval_SaveThread();
        }
    }

private:
    bool taken_ = false;
};

// Brackets one event. An event that is not admitted returns without touching Python.
class EventScope {
public:
    EventScope() : slot_(own_events_in_flight) {
        slot_.fetch_add(1);
        admitted_ = !events_closed.load() && !_Py_IsFinalizing();
    }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;
    ~EventScope() { slot_.fetch_sub(1); }

    bool admitted() const { return admitted_; }

private:
    std::atomic<int>& slot_;  // this thread's, looked up once
    bool admitted_ = false;
};

// Runs at interpreter exit, before finalization begins: no new event enters Python, and the events in
// flight (which may be waiting for the lock, or have given it up in a handler) get it to finish.
void CloseEventsAtExit() {
    events_closed.store(true);
    py::gil_scoped_release release;
    const auto deadline = std::chrono::steady_clock::now() + kExitDrainLimit;
    while (EventsInFlight() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            exit_drain_gave_up.store(true);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// In a child made by fork() only the forking thread exists: the events that other threads had in
// flight will never end there, and exit would wait the whole drain limit for them.
void ForgetEventsInFlightInChild() {
    for (InFlightSlot& slot : events_in_flight) {
        slot.events.store(0);
    }
}

// Copies SDK text into an owned string. A holder without text has nothing to copy; the error is the
// one the standard library gives for a string built from a null pointer.
std::string CopyText(const char* text) {
    if (text == nullptr) {
        throw std::logic_error("basic_string: construction from null is not valid");
    }
    return std::string(text);
}

}  // namespace

template <typename FrameType>
py::bytes GetFrameData(const FrameType& frame) {
    const size_t size = frame.size();
    if (size == 0) {
        return py::bytes("", 0);
    }
    const uint8_t* data = frame.data();
    if (data == nullptr) {
        throw std::runtime_error("frame reports " + std::to_string(size) + " payload bytes but holds no payload");
    }
    return py::bytes(reinterpret_cast<const char*>(data), size);
}

template <typename T, void (T::*Method)(const uint8_t*, size_t)>
void SetFrameData(T& obj, py::bytes data) {
    char* ptr = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &ptr, &size) != 0) {
        throw py::error_already_set();
    }
    (obj.*Method)(reinterpret_cast<const uint8_t*>(ptr), static_cast<size_t>(size));
}

template <typename FrameType>
size_t GetFrameSize(const FrameType& frame) {
    return frame.size();
}

// The Python objects that one event hands to its handler, owned as plain references so that nothing
// drops them on a path where the lock may not be held; released with the lock, one by one.
class EventArguments {
public:
    EventArguments() = default;
    EventArguments(const EventArguments&) = delete;
    EventArguments& operator=(const EventArguments&) = delete;
    ~EventArguments() {
        if (count_ == 0 || !HoldsInterpreterLock()) {
            return;  // only an unwinding that should have parked gets here without the lock: leave them
        }
        for (size_t i = 1; i <= count_; ++i) {
            ReleaseOrPark(slots_[i]);
        }
    }

    EventArguments& Add(py::object value) {
        slots_[++count_] = value.release().ptr();
        return *this;
    }

    // Calls `callable` with the arguments by vectorcall and returns its result, or null with the
    // Python error set. Slot 0 stays free for the interpreter to put `self` in when it unpacks a
    // bound method, which spares it a new tuple.
    PyObject* CallOrPark(PyObject* callable) {
        try {
            return PyObject_Vectorcall(callable, slots_.data() + 1, count_ | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        } catch (...) {
            ParkForever();  // the handler gave up the lock and took it back while the interpreter finalized
        }
    }

    // The same for a plain function, called with `self` in slot 0 before the arguments.
    PyObject* CallOrPark(PyObject* function, PyObject* self) {
        slots_[0] = self;
        try {
            PyObject* result = PyObject_Vectorcall(function, slots_.data(), count_ + 1, nullptr);
            slots_[0] = nullptr;
            return result;
        } catch (...) {
            ParkForever();
        }
    }

private:
    std::array<PyObject*, 5> slots_{};
    size_t count_ = 0;
};

// Finds a handler's method for one event with exactly the answers of pybind11's get_override, but
// without its cost on the common path: get_override looks the name up on the instance, which walks the
// class's bases and makes a bound method for every event. For a handler whose class resolves the name
// to a plain Python function, this remembers that function per class, with the class's version tag,
// which the interpreter changes whenever the class or one of its bases is modified. The remembered
// function is used only when the lookup would find it again: same class (so a changed `__class__`
// looks again), the same version tag, the generic attribute lookup (no `__getattribute__` or
// `__getattr__` of the handler's own), nothing of that name in the instance's dictionary, and no
// Python frame running on this thread (get_override declines a method called from an override of the
// same name, `super().OnX()`, which only a running frame can be). Everything else, and every miss,
// goes through get_override itself, so its errors and its per-class memory of misses stay as they are.
// The function is held without a reference: a reference would keep its module's globals alive past
// the end of the program's own objects. While the class's version tag is unchanged the class (or a
// base) still holds the function; a class that is freed takes its tag with it, since tags are never
// given out twice. Used with the interpreter lock held only.
class HandlerMethodCache {
public:
    explicit HandlerMethodCache(const char* name) : name_(name), key_(PyUnicode_InternFromString(name)) {
        if (key_ == nullptr) {
            throw py::error_already_set();
        }
    }
    HandlerMethodCache(const HandlerMethodCache&) = delete;
    HandlerMethodCache& operator=(const HandlerMethodCache&) = delete;

    // What to call for the event on `delegate`, as a new reference, or null when the handler has no
    // method of this name. With a remembered plain function, `self` becomes a new reference to the
    // handler, which the call passes first; with a bound method it stays null.
    // `instance` is the Python object that owns `delegate`, or null when none does.
    PyObject* Resolve(const QOLTCloudDelegate* delegate, PyObject* instance, PyObject*& self) {
        if (instance != nullptr && UsesGenericLookup(instance) && !FrameIsRunning()) {
            PyObject* function = Find(Py_TYPE(instance));
            if (function != nullptr && !InInstanceDict(instance)) {
                Py_INCREF(instance);
                Py_INCREF(function);
                self = instance;
                return function;
            }
        }
        PyObject* method = py::get_override(delegate, name_).release().ptr();
        if (instance != nullptr) {
            if (method == nullptr) {
                Forget(Py_TYPE(instance));
            } else {
                Remember(instance, method);
            }
        }
        return method;
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        unsigned int version = 0;
        PyObject* function = nullptr;  // borrowed: valid while `type` has `version`
    };

    static bool UsesGenericLookup(PyObject* instance) {
        return Py_TYPE(instance)->tp_getattro == PyObject_GenericGetAttr;
    }

    static bool FrameIsRunning() {
        PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
        if (frame == nullptr) {
            return false;
        }
        Py_DECREF(frame);  // a frame object that the thread's running frame keeps alive
        return true;
    }

    // A version tag of 0 is never valid: the interpreter sets it when the class is modified.
    static unsigned int VersionOf(PyTypeObject* type) {
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    }

    bool InInstanceDict(PyObject* instance) const {
        PyObject** dict = _PyObject_GetDictPtr(instance);
        if (dict == nullptr || *dict == nullptr) {
            return false;
        }
        PyObject* value = PyDict_GetItemWithError(*dict, key_);
        if (value == nullptr && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return value != nullptr;
    }

    PyObject* Find(PyTypeObject* type) const {
        const unsigned int version = VersionOf(type);
        if (version == 0) {
            return nullptr;
        }
        for (const Entry& entry : entries_) {
            if (entry.type == type && entry.version == version) {
                return entry.function;
            }
        }
        return nullptr;
    }

    // Remembers the function behind `method` when the class's own lookup finds it (it did not come
    // from the instance) and the class has a valid version tag, which the lookup assigns.
    void Remember(PyObject* instance, PyObject* method) {
        if (!UsesGenericLookup(instance) || !PyMethod_Check(method) || PyMethod_GET_SELF(method) != instance) {
            return;
        }
        PyObject* function = PyMethod_GET_FUNCTION(method);
        PyTypeObject* type = Py_TYPE(instance);
        if (!PyFunction_Check(function) || _PyType_Lookup(type, key_) != function || InInstanceDict(instance)) {
            return;
        }
        const unsigned int version = VersionOf(type);
        if (version == 0) {
            return;
        }
        Entry* slot = &entries_[next_];
        for (Entry& entry : entries_) {
            if (entry.type == type) {
                slot = &entry;
                break;
            }
        }
        if (slot == &entries_[next_]) {
            next_ = (next_ + 1) % entries_.size();
        }
        *slot = Entry{type, version, function};
    }

    void Forget(PyTypeObject* type) {
        for (Entry& entry : entries_) {
            if (entry.type == type) {
                entry = Entry{};
            }
        }
    }

    const char* name_;
    PyObject* key_;
    std::array<Entry, 4> entries_{};  // a few handler classes per event; the oldest gives way
    size_t next_ = 0;
};

// How an event treats a handler without the method and an error in it.
enum class EventKind {
    kRequired,  // no method: fails; an error leaves the event towards the SDK
    kOptional,  // no method: dropped; an error leaves the event towards the SDK
    kGuarded,   // no method: dropped; an error is printed on its own line and dropped
};

// What became of one event in Python, told once the lock is given back.
struct EventOutcome {
    bool missing = false;  // the handler has no method of the event's name
    bool failed = false;   // the method, or building its arguments, raised: `error` says what
    std::string error;
};

// The delegate that the SDK calls on its own threads; each event calls the method of the same name
// on the Python object that owns this delegate. Records and frames reach the handler as new copies,
// which it may keep: passed by reference, a record that Python itself handed to a base event method
// would come back as the caller's own object, since pybind11 reuses the object registered at an address.
// Each copy is made once, on the heap, and handed to its Python object whole.
//
// An error in a handler reaches the SDK as a std::runtime_error with pybind11's text of the Python
// exception: its text is read and its Python objects released here, with the lock held, so that the
// SDK, which may read and destroy the exception on any thread at any time, never needs the lock.
class PyQOLTCloudDelegate : public QOLTCloudDelegate {
public:
    PyQOLTCloudDelegate() = default;
    PyQOLTCloudDelegate(const PyQOLTCloudDelegate&) = delete;
    PyQOLTCloudDelegate& operator=(const PyQOLTCloudDelegate&) = delete;

    // A delegate ends with its handler or its cloud, with the lock held, and releases its weak
    // reference then. One that ends on a thread without the lock leaves the reference behind: taking
    // the lock there could wait on the very thread that is being destroyed.
    ~PyQOLTCloudDelegate() override {
        if (owner_ref_ != nullptr && HoldsInterpreterLock()) {
            ReleaseOrPark(owner_ref_);
        }
    }

    void OnError(Error error) override {
        Raise(EventKind::kRequired, "OnError", [&](EventArguments& args) { args.Add(py::cast(error)); });
    }

    void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override {
        Raise(EventKind::kRequired, "OnConnectionStateChanged",
              [&](EventArguments& args) { args.Add(py::cast(old_state)).Add(py::cast(new_state)); });
    }

    void OnEnterRoom() override {
        Raise(EventKind::kRequired, "OnEnterRoom", [](EventArguments&) {});
    }

    void OnExitRoom() override {
        Raise(EventKind::kRequired, "OnExitRoom", [](EventArguments&) {});
    }

    void OnLocalAudioChannelCreated() override {
        Raise(EventKind::kRequired, "OnLocalAudioChannelCreated", [](EventArguments&) {});
    }

    void OnLocalAudioChannelDestroyed() override {
        Raise(EventKind::kRequired, "OnLocalAudioChannelDestroyed", [](EventArguments&) {});
    }

    void OnLocalVideoChannelCreated(StreamType stream_type) override {
        Raise(EventKind::kRequired, "OnLocalVideoChannelCreated",
              [&](EventArguments& args) { args.Add(py::cast(stream_type)); });
    }

    void OnLocalVideoChannelDestroyed(StreamType stream_type) override {
        Raise(EventKind::kRequired, "OnLocalVideoChannelDestroyed",
              [&](EventArguments& args) { args.Add(py::cast(stream_type)); });
    }

    void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override {
        Raise(EventKind::kRequired, "OnRequestChangeVideoEncodeBitrate",
              [&](EventArguments& args) { args.Add(py::cast(stream_type)).Add(py::cast(bitrate_bps)); });
    }

    void OnRequestKeyFrame(StreamType stream_type) override {
        Raise(EventKind::kRequired, "OnRequestKeyFrame",
              [&](EventArguments& args) { args.Add(py::cast(stream_type)); });
    }

    void OnRemoteUserEnterRoom(const UserInfo& info) override {
        Raise(EventKind::kRequired, "OnRemoteUserEnterRoom",
              [&](EventArguments& args) { args.Add(py::cast(std::make_unique<UserInfo>(info))); });
    }

    void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
        Raise(EventKind::kRequired, "OnRemoteUserExitRoom", [&](EventArguments& args) {
            args.Add(py::cast(std::make_unique<UserInfo>(info))).Add(py::cast(reason));
        });
    }

    void OnRemoteAudioAvailable(const char* user_id, bool available) override {
        Raise(EventKind::kRequired, "OnRemoteAudioAvailable",
              [&](EventArguments& args) { args.Add(py::cast(user_id)).Add(py::cast(available)); });
    }

    void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override {
        Raise(EventKind::kRequired, "OnRemoteVideoAvailable",
              [&](EventArguments& args) { args.Add(py::cast(user_id)).Add(py::cast(available)).Add(py::cast(type)); });
    }

    void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) override {
        Raise(EventKind::kRequired, "OnRemoteVideoFrameReceived", [&](EventArguments& args) {
            args.Add(py::cast(user_id)).Add(py::cast(type)).Add(py::cast(std::make_unique<VideoFrame>(frame)));
        });
    }

    void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) override {
        Raise(EventKind::kRequired, "OnRemotePixelFrameReceived", [&](EventArguments& args) {
            args.Add(py::cast(user_id)).Add(py::cast(type)).Add(py::cast(std::make_unique<PixelFrame>(frame)));
        });
    }

    void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
        Raise(EventKind::kRequired, "OnRemoteAudioReceived", [&](EventArguments& args) {
            args.Add(py::cast(user_id)).Add(py::cast(std::make_unique<AudioFrame>(frame)));
        });
    }

    void OnRemoteMixedAudioReceived(const AudioFrame& frame) override {
        Raise(EventKind::kRequired, "OnRemoteMixedAudioReceived",
              [&](EventArguments& args) { args.Add(py::cast(std::make_unique<AudioFrame>(frame))); });
    }

    // Guarded: an error in the handler is printed and dropped, and the SDK never sees it. The payload
    // is made first, then the other arguments.
    void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                              size_t length) override {
        Raise(EventKind::kGuarded, "OnSeiMessageReceived", [&](EventArguments& args) {
            py::bytes payload(message, length);
            args.Add(py::cast(user_id)).Add(py::cast(stream_type)).Add(py::cast(message_type)).Add(std::move(payload));
        });
    }

    // Guarded, like OnSeiMessageReceived.
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override {
        Raise(EventKind::kGuarded, "OnReceiveCustomCmdMsg", [&](EventArguments& args) {
            py::bytes payload(message, length);
            args.Add(py::cast(user_id)).Add(py::cast(cmd_id)).Add(py::cast(seq)).Add(std::move(payload));
        });
    }

    // Optional: a handler without this method drops the event.
    void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override {
        Raise(EventKind::kOptional, "OnMissCustomCmdMsg", [&](EventArguments& args) {
            args.Add(py::cast(user_id)).Add(py::cast(cmd_id)).Add(py::cast(error_code)).Add(py::cast(missed));
        });
    }

    // Guarded, like OnSeiMessageReceived. The handler gets copies: the SDK's records are not used
    // after the event returns.
    void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                          size_t remote_quality_count) override {
        Raise(EventKind::kGuarded, "OnNetworkQuality", [&](EventArguments& args) {
            py::object local_arg =
                py::cast(local_quality != nullptr ? std::make_unique<NetworkQualityInfo>(*local_quality)
                                                  : std::make_unique<NetworkQualityInfo>());
            py::list remote_args;
            for (size_t i = 0; i < remote_quality_count; ++i) {
                remote_args.append(py::cast(std::make_unique<NetworkQualityInfo>(remote_qualities[i])));
            }
            args.Add(std::move(local_arg)).Add(std::move(remote_args));
        });
    }

private:
    // The Python object that owns this delegate (the handler), or null when none does; with the lock
    // held. It is pybind11's instance registered at this address, looked up once and then followed
    // through a weak reference, which turns to None when the handler is freed and so looks it up
    // again: the same answer as looking it up on every event, without a search of pybind11's
    // registry of instances per event.
    PyObject* Owner() {
        if (owner_ref_ != nullptr) {
            PyObject* owner = PyWeakref_GET_OBJECT(owner_ref_);
            if (owner != Py_None) {
                return owner;
            }
            ReleaseOrPark(owner_ref_);
            owner_ref_ = nullptr;
        }
        static const py::detail::type_info* const delegate_type = py::detail::get_type_info(typeid(QOLTCloudDelegate));
        PyObject* owner =
            py::detail::get_object_handle(static_cast<const QOLTCloudDelegate*>(this), delegate_type).ptr();
        if (owner != nullptr) {
            owner_ref_ = PyWeakref_NewRef(owner, nullptr);
            if (owner_ref_ == nullptr) {
                PyErr_Clear();  // the lookup is repeated on the next event instead
            }
        }
        return owner;
    }

    PyObject* owner_ref_ = nullptr;  // a weak reference to Owner(), held; null until it is looked up

    // Delivers one event: takes the lock, finds the handler's method, builds its arguments with
    // `build`, calls it, and reports the outcome as the event's kind says, the lock given back first.
    template <typename Build>
    void Raise(EventKind kind, const char* name, Build&& build) {
        EventScope scope;
        if (!scope.admitted()) {
            return;
        }
        EventOutcome outcome;
        {
            EventLock lock;
            outcome = Call(kind, name, build, lock.raised_by_python());
            if (kind == EventKind::kGuarded && outcome.failed) {
                // The line is printed with the lock held, as the event's last act in Python.
                std::cerr << outcome.error << std::endl;
            }
        }
        if (outcome.missing && kind == EventKind::kRequired) {
            // The text pybind11 gives a missing pure virtual method; thrown directly, since its own
            // helper checks Python's error state, which needs the lock given back above.
            throw std::runtime_error(std::string("Tried to call pure virtual function \"QOLTCloudDelegate::") + name +
                                     "\"");
        }
        if (outcome.failed && kind != EventKind::kGuarded) {
            throw std::runtime_error(outcome.error);
        }
    }

    // With the lock held. For a guarded event `error` is the whole line to print. An error that Python
    // raised in an event that Python itself raised goes back to Python as it is.
    template <typename Build>
    EventOutcome Call(EventKind kind, const char* name, Build& build, bool raised_by_python) {
        // One cache per event: each event's call site passes a lambda of its own type, so each has
        // its own instance of this function.
        static HandlerMethodCache methods(name);
        const bool rethrow = raised_by_python && kind != EventKind::kGuarded;
        EventOutcome outcome;
        PyObject* method = nullptr;
        PyObject* self = nullptr;
        try {
            method = methods.Resolve(static_cast<const QOLTCloudDelegate*>(this), Owner(), self);
            if (method == nullptr) {
                outcome.missing = true;
                return outcome;
            }
            PyObject* result = nullptr;
            {
                EventArguments args;
                build(args);
                result = self != nullptr ? args.CallOrPark(method, self) : args.CallOrPark(method);
            }
            if (result == nullptr) {
                if (rethrow) {
                    throw py::error_already_set();
                }
                outcome.failed = true;
                outcome.error = TakeErrorText();
            }
            ReleaseOrPark(result);
        } catch (py::error_already_set& error) {
            if (rethrow) {
                ReleaseOrPark(method);
                ReleaseOrPark(self);
                throw;
            }
            // Building the arguments failed (text that is not UTF-8, a list that would not grow): put
            // the error back, so that its objects outlive this handler and are read like the others.
            error.restore();
            outcome.failed = true;
            outcome.error = TakeErrorText();
        } catch (const std::exception&) {
            ReleaseOrPark(method);
            ReleaseOrPark(self);
            if (kind != EventKind::kGuarded) {
                throw;
            }
            outcome.failed = true;
            outcome.error = "unknown error";
            return outcome;
        } catch (...) {
            ParkForever();
        }
        ReleaseOrPark(method);
        ReleaseOrPark(self);
        if (outcome.failed && kind == EventKind::kGuarded) {
            outcome.error = std::string("python callback ") + name + " error: " + outcome.error;
        }
        return outcome;
    }
};

// Owns one SDK cloud and the delegate it reports to; the cloud is destroyed before the delegate can be.
class QOLTCloudWrapper {
public:
    explicit QOLTCloudWrapper(std::shared_ptr<PyQOLTCloudDelegate> delegate) : delegate_(delegate) {
        qolt_cloud_ = QOLTCloud::Create(delegate_.get());
        if (qolt_cloud_ == nullptr) {
            throw std::runtime_error("QOLTCloud::Create returned no cloud");
        }
    }

    QOLTCloudWrapper(const QOLTCloudWrapper&) = delete;
    QOLTCloudWrapper& operator=(const QOLTCloudWrapper&) = delete;
    QOLTCloudWrapper(QOLTCloudWrapper&&) = delete;
    QOLTCloudWrapper& operator=(QOLTCloudWrapper&&) = delete;

    ~QOLTCloudWrapper() {
        if (qolt_cloud_ == nullptr) {
            return;
        }
        if (exit_drain_gave_up.load()) {
            // A handler outlived the exit drain, and its thread may park for good: Destroy would wait
            // for it forever. The process is ending; the cloud is left to it, and so is the delegate
            // it may still call (kept reachable, so that it is neither freed nor reported as a leak).
            static auto& abandoned = *new std::vector<std::shared_ptr<PyQOLTCloudDelegate>>();
            abandoned.push_back(std::move(delegate_));
            qolt_cloud_ = nullptr;
            return;
        }
        if (HoldsInterpreterLock()) {
            // Destroy waits for the cloud's event threads, and an event may be waiting for the
            // interpreter lock: hold it here and the two wait on each other. Taking it back parks a
            // thread that the interpreter would end (a daemon thread dropping a cloud at exit).
            PyThreadState* state = PyEval_SaveThread();
            QOLTCloud::Destroy(qolt_cloud_);
            RestoreThreadOrPark(state);
        } else {
            QOLTCloud::Destroy(qolt_cloud_);
        }
        qolt_cloud_ = nullptr;
    }

    int EnterRoom(const EnterRoomParams& params) { return qolt_cloud_->EnterRoom(params); }

    int ExitRoom() { return qolt_cloud_->ExitRoom(); }

    int Subscribe(const CString& user_id, StreamType type) { return qolt_cloud_->Subscribe(user_id.c_str(), type); }

    int Unsubscribe(const CString& user_id, StreamType type) { return qolt_cloud_->Unsubscribe(user_id.c_str(), type); }

    int GetAudioFrame(AudioFrame* frame) { return qolt_cloud_->GetAudioFrame(frame); }

    int CreateLocalAudioChannel(const AudioEncodeParams& params) {
        return qolt_cloud_->CreateLocalAudioChannel(params);
    }

    int DestroyLocalAudioChannel() { return qolt_cloud_->DestroyLocalAudioChannel(); }

    int SendAudioFrame(const AudioFrame& frame) { return qolt_cloud_->SendAudioFrame(frame); }

    int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
        return qolt_cloud_->SendContinuousAudioFrame(frame, clear_send_queue);
    }

    int CreateLocalVideoChannel(StreamType type) { return qolt_cloud_->CreateLocalVideoChannel(type); }

    int DestroyLocalVideoChannel(StreamType type) { return qolt_cloud_->DestroyLocalVideoChannel(type); }

    int SendVideoFrame(StreamType type, const VideoFrame& frame) { return qolt_cloud_->SendVideoFrame(type, frame); }

    int SendPixelFrame(StreamType type, const PixelFrame& frame) { return qolt_cloud_->SendVideoFrame(type, frame); }

    void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) {
        qolt_cloud_->SetVideoEncodeParam(type, param);
    }

    int SendSeiMessage(int32_t message_type, py::bytes message) {
        char* buffer = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(message.ptr(), &buffer, &length) == -1) {
            PyErr_Print();
            return -1;
        }
        return qolt_cloud_->SendSeiMessage(message_type, buffer, static_cast<size_t>(length));
    }

    int SendCustomCmdMsg(int32_t cmd_id, py::bytes message, bool reliable, bool ordered) {
        char* buffer = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(message.ptr(), &buffer, &length) == -1) {
            PyErr_Print();
            return -1;
        }
        const bool sent = qolt_cloud_->SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), buffer,
                                                        static_cast<size_t>(length), reliable, ordered);
        return sent ? 1 : 0;
    }

    void EnableVoiceActivityDetection(const VADParams& params) { qolt_cloud_->EnableVoiceActivityDetection(params); }

private:
    QOLTCloud* qolt_cloud_ = nullptr;
    std::shared_ptr<PyQOLTCloudDelegate> delegate_;
};

PYBIND11_MODULE(_mirelo, m) {
    m.doc() = "QOLT Mirelo Python API (bind with C++ API by pybind11)";

    py::class_<QOLTCloudWrapper>(m, "QOLTCloud")
        .def(py::init<std::shared_ptr<PyQOLTCloudDelegate>>(), py::keep_alive<1, 2>())
        .def("EnterRoom", &QOLTCloudWrapper::EnterRoom, py::arg("params"))
        .def("ExitRoom", &QOLTCloudWrapper::ExitRoom)
        .def("Subscribe", &QOLTCloudWrapper::Subscribe, py::arg("user_id"), py::arg("type"))
        .def("Unsubscribe", &QOLTCloudWrapper::Unsubscribe, py::arg("user_id"), py::arg("type"))
        .def("GetAudioFrame", &QOLTCloudWrapper::GetAudioFrame, py::arg("frame"))
        .def("CreateLocalAudioChannel", &QOLTCloudWrapper::CreateLocalAudioChannel, py::arg("params"))
        .def("DestroyLocalAudioChannel", &QOLTCloudWrapper::DestroyLocalAudioChannel)
        .def("SendAudioFrame", &QOLTCloudWrapper::SendAudioFrame, py::arg("frame"))
        .def("SendContinuousAudioFrame", &QOLTCloudWrapper::SendContinuousAudioFrame, py::arg("frame"),
             py::arg("clear_send_queue"))
        .def("CreateLocalVideoChannel", &QOLTCloudWrapper::CreateLocalVideoChannel, py::arg("type"))
        .def("DestroyLocalVideoChannel", &QOLTCloudWrapper::DestroyLocalVideoChannel, py::arg("type"))
        .def("SendVideoFrame", &QOLTCloudWrapper::SendVideoFrame, py::arg("type"), py::arg("frame"))
        .def("SendPixelFrame", &QOLTCloudWrapper::SendPixelFrame, py::arg("type"), py::arg("frame"))
        .def("SetVideoEncodeParam", &QOLTCloudWrapper::SetVideoEncodeParam, py::arg("type"), py::arg("param"))
        .def("SendSeiMessage", &QOLTCloudWrapper::SendSeiMessage, py::arg("message_type"), py::arg("message"))
        .def("SendCustomCmdMsg", &QOLTCloudWrapper::SendCustomCmdMsg, py::arg("cmd_id"), py::arg("message"),
             py::arg("reliable"), py::arg("ordered"))
        .def("EnableVoiceActivityDetection", &QOLTCloudWrapper::EnableVoiceActivityDetection, py::arg("params"));

    // The lengths and the count that the SDK normally supplies come from the caller here; they are
    // checked against what was given so that the trampoline never reads past it.
    py::class_<QOLTCloudDelegate, PyQOLTCloudDelegate, std::shared_ptr<QOLTCloudDelegate>>(m, "QOLTCloudDelegate")
        .def(py::init<>())
        .def("OnError", &QOLTCloudDelegate::OnError)
        .def("OnConnectionStateChanged", &QOLTCloudDelegate::OnConnectionStateChanged)
        .def("OnEnterRoom", &QOLTCloudDelegate::OnEnterRoom)
        .def("OnExitRoom", &QOLTCloudDelegate::OnExitRoom)
        .def("OnLocalAudioChannelCreated", &QOLTCloudDelegate::OnLocalAudioChannelCreated)
        .def("OnLocalAudioChannelDestroyed", &QOLTCloudDelegate::OnLocalAudioChannelDestroyed)
        .def("OnLocalVideoChannelCreated", &QOLTCloudDelegate::OnLocalVideoChannelCreated)
        .def("OnLocalVideoChannelDestroyed", &QOLTCloudDelegate::OnLocalVideoChannelDestroyed)
        .def("OnRemoteUserEnterRoom", &QOLTCloudDelegate::OnRemoteUserEnterRoom)
        .def("OnRemoteUserExitRoom", &QOLTCloudDelegate::OnRemoteUserExitRoom)
        .def("OnRemoteAudioAvailable", &QOLTCloudDelegate::OnRemoteAudioAvailable)
        .def("OnRemoteVideoAvailable", &QOLTCloudDelegate::OnRemoteVideoAvailable)
        .def("OnRemoteAudioReceived", &QOLTCloudDelegate::OnRemoteAudioReceived)
        .def("OnRemoteMixedAudioReceived", &QOLTCloudDelegate::OnRemoteMixedAudioReceived)
        .def("OnRemoteVideoFrameReceived",
             py::overload_cast<const char*, StreamType, const VideoFrame&>(&QOLTCloudDelegate::OnRemoteVideoReceived))
        .def("OnRemotePixelFrameReceived",
             py::overload_cast<const char*, StreamType, const PixelFrame&>(&QOLTCloudDelegate::OnRemoteVideoReceived))
        .def("OnRequestKeyFrame", &QOLTCloudDelegate::OnRequestKeyFrame)
        .def("OnRequestChangeVideoEncodeBitrate", &QOLTCloudDelegate::OnRequestChangeVideoEncodeBitrate)
        .def("OnSeiMessageReceived",
             [](QOLTCloudDelegate& self, const char* user_id, StreamType stream_type, int message_type,
                const SizedText& message, size_t length) {
                 if (length > message.size()) {
                     throw py::value_error("length " + std::to_string(length) + " exceeds the message's " +
                                           std::to_string(message.size()) + " bytes");
                 }
                 self.OnSeiMessageReceived(user_id, stream_type, message_type, message.c_str(), length);
             })
        .def("OnReceiveCustomCmdMsg",
             [](QOLTCloudDelegate& self, const char* user_id, int32_t cmd_id, uint32_t seq, const SizedText& message,
                size_t length) {
                 if (length > message.size()) {
                     throw py::value_error("length " + std::to_string(length) + " exceeds the message's " +
                                           std::to_string(message.size()) + " bytes");
                 }
                 self.OnReceiveCustomCmdMsg(user_id, cmd_id, seq, message.c_str(), length);
             })
        .def("OnMissCustomCmdMsg", &QOLTCloudDelegate::OnMissCustomCmdMsg)
        .def("OnNetworkQuality", [](QOLTCloudDelegate& self, NetworkQualityInfo* local_quality,
                                    NetworkQualityInfo* remote_qualities, size_t remote_quality_count) {
            const size_t records_given = remote_qualities != nullptr ? 1 : 0;
            if (remote_quality_count > records_given) {
                throw py::value_error("remote_quality_count " + std::to_string(remote_quality_count) + " exceeds the " +
                                      std::to_string(records_given) + " records given");
            }
            self.OnNetworkQuality(local_quality, remote_qualities, remote_quality_count);
        });

    py::class_<QoltString>(m, "QoltString")
        .def(py::init<>())
        .def(py::init([](const NullableCString& text) { return std::make_unique<QoltString>(text.c_str()); }))
        .def("GetValue", &QoltString::GetValue)
        .def("SetValue", [](QoltString& self, const NullableCString& text) { self.SetValue(text.c_str()); })
        .def("__str__", [](const QoltString& self) { return CopyText(self.GetValue()); })
        .def("__repr__", [](const QoltString& self) { return "QoltString('" + CopyText(self.GetValue()) + "')"; });

    py::class_<RoomParams>(m, "RoomParams")
        .def(py::init<>())
        .def_readwrite("room_id", &RoomParams::room_id)
        .def_readwrite("str_room_id", &RoomParams::str_room_id)
        .def_readwrite("user_id", &RoomParams::user_id)
        .def_readwrite("user_sig", &RoomParams::user_sig)
        .def_readwrite("sdk_app_id", &RoomParams::sdk_app_id);

    py::class_<EnterRoomParams>(m, "EnterRoomParams")
        .def(py::init<>())
        .def_readwrite("room", &EnterRoomParams::room)
        .def_readwrite("scene", &EnterRoomParams::scene)
        .def_readwrite("role", &EnterRoomParams::role)
        .def_readwrite("private_map_key", &EnterRoomParams::private_map_key)
        .def_readwrite("audio_obtain_params", &EnterRoomParams::audio_obtain_params)
        .def_readwrite("use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input)
        .def_readwrite("use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);

    py::class_<AudioEncodeParams>(m, "AudioEncodeParams")
        .def(py::init<>())
        .def_readwrite("channels", &AudioEncodeParams::channels)
        .def_readwrite("sample_rate", &AudioEncodeParams::sample_rate)
        .def_readwrite("frame_length_ms", &AudioEncodeParams::frame_length_ms)
        .def_readwrite("bitrate_bps", &AudioEncodeParams::bitrate_bps)
        .def_readwrite("need_encode", &AudioEncodeParams::need_encode);

    py::class_<VideoEncodeParams>(m, "VideoEncodeParams")
        .def(py::init<>())
        .def_readwrite("frame_rate", &VideoEncodeParams::frame_rate)
        .def_readwrite("bitrate_bps", &VideoEncodeParams::bitrate_bps)
        .def_readwrite("gop_in_seconds", &VideoEncodeParams::gop_in_seconds);

    py::class_<NetworkQualityInfo>(m, "NetworkQualityInfo")
        .def(py::init<>())
        .def_readwrite("user_id", &NetworkQualityInfo::user_id)
        .def_readwrite("quality", &NetworkQualityInfo::quality);

    py::class_<UserInfo>(m, "UserInfo").def(py::init<>()).def_readwrite("user_id", &UserInfo::user_id);

    py::class_<AudioObtainParams>(m, "AudioObtainParams")
        .def(py::init<>())
        .def_readwrite("audio_obtain_method", &AudioObtainParams::audio_obtain_method)
        .def_readwrite("enable_remote_audio_mix", &AudioObtainParams::enable_remote_audio_mix)
        .def_readwrite("output_sample_rate", &AudioObtainParams::output_sample_rate)
        .def_readwrite("output_channels", &AudioObtainParams::output_channels)
        .def_readwrite("output_frame_length_ms", &AudioObtainParams::output_frame_length_ms)
        .def_readwrite("output_audio_codec_type", &AudioObtainParams::output_audio_codec_type);

    py::class_<VADParams>(m, "VADParams").def(py::init<>()).def_readwrite("enable", &VADParams::enable);

    py::class_<AudioFrame>(m, "AudioFrame")
        .def(py::init<>())
        .def_readwrite("pts", &AudioFrame::pts)
        .def_readwrite("sample_rate", &AudioFrame::sample_rate)
        .def_readwrite("channels", &AudioFrame::channels)
        .def_readwrite("bits_per_sample", &AudioFrame::bits_per_sample)
        .def_readwrite("codec", &AudioFrame::codec)
        .def_readwrite("has_voice", &AudioFrame::has_voice)
        .def_property_readonly("data", &GetFrameData<AudioFrame>)
        .def("SetData", &SetFrameData<AudioFrame, &AudioFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<AudioFrame>)
        .def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

    py::class_<VideoFrame>(m, "VideoFrame")
        .def(py::init<>())
        .def_readwrite("pts", &VideoFrame::pts)
        .def_readwrite("dts", &VideoFrame::dts)
        .def_readwrite("codec", &VideoFrame::codec)
        .def_readwrite("is_key_frame", &VideoFrame::is_key_frame)
        .def_readwrite("rotation", &VideoFrame::rotation)
        .def_property_readonly("data", &GetFrameData<VideoFrame>)
        .def("SetData", &SetFrameData<VideoFrame, &VideoFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<VideoFrame>);

    py::class_<PixelFrame>(m, "PixelFrame")
        .def(py::init<>())
        .def_readwrite("pts", &PixelFrame::pts)
        .def_readwrite("format", &PixelFrame::format)
        .def_readwrite("height", &PixelFrame::height)
        .def_readwrite("width", &PixelFrame::width)
        .def_readwrite("rotation", &PixelFrame::rotation)
        .def_property_readonly("data", &GetFrameData<PixelFrame>)
        .def("SetData", &SetFrameData<PixelFrame, &PixelFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<PixelFrame>);

    py::enum_<Error>(m, "Error")
        .value("ERR_OK", mirelo::qolt::ERR_OK)
        .value("ERR_FAILED", mirelo::qolt::ERR_FAILED)
        .value("ERR_INVALID_PARAMETER", mirelo::qolt::ERR_INVALID_PARAMETER)
        .value("ERR_INVALID_OPERATION", mirelo::qolt::ERR_INVALID_OPERATION)
        .value("ERR_NOT_SUPPORTED", mirelo::qolt::ERR_NOT_SUPPORTED)
        .value("ERR_REQUEST_SERVER_TIMEOUT", mirelo::qolt::ERR_REQUEST_SERVER_TIMEOUT)
        .value("ERR_SERVER_PROCESS_FAILED", mirelo::qolt::ERR_SERVER_PROCESS_FAILED)
        .value("ERR_READ_TRY_AGAIN", mirelo::qolt::ERR_READ_TRY_AGAIN)
        .value("ERR_NETWORK_UNREACHABLE", mirelo::qolt::ERR_NETWORK_UNREACHABLE)
        .value("ERR_ENTER_ROOM_FAILED", mirelo::qolt::ERR_ENTER_ROOM_FAILED)
        .value("ERR_INVALID_SDK_APP_ID", mirelo::qolt::ERR_INVALID_SDK_APP_ID)
        .value("ERR_INVALID_ROOM_ID", mirelo::qolt::ERR_INVALID_ROOM_ID)
        .value("ERR_INVALID_USER_ID", mirelo::qolt::ERR_INVALID_USER_ID)
        .value("ERR_INVALID_USER_SIG", mirelo::qolt::ERR_INVALID_USER_SIG)
        .value("ERR_SERVICE_SUSPENDED", mirelo::qolt::ERR_SERVICE_SUSPENDED)
        .value("ERR_BANNED_BY_SERVER", mirelo::qolt::ERR_BANNED_BY_SERVER)
        .export_values();

    py::enum_<VideoCodecType>(m, "VideoCodecType")
        .value("VIDEO_CODEC_TYPE_H264", mirelo::qolt::VIDEO_CODEC_TYPE_H264)
        .value("VIDEO_CODEC_TYPE_H265", mirelo::qolt::VIDEO_CODEC_TYPE_H265)
        .export_values();

    py::enum_<AudioCodecType>(m, "AudioCodecType")
        .value("AUDIO_CODEC_TYPE_PCM", mirelo::qolt::AUDIO_CODEC_TYPE_PCM)
        .value("AUDIO_CODEC_TYPE_OPUS", mirelo::qolt::AUDIO_CODEC_TYPE_OPUS)
        .value("AUDIO_CODEC_TYPE_AAC", mirelo::qolt::AUDIO_CODEC_TYPE_AAC)
        .export_values();

    py::enum_<QOLTRole>(m, "QOLTRole")
        .value("QOLT_ROLE_ANCHOR", mirelo::qolt::QOLT_ROLE_ANCHOR)
        .value("QOLT_ROLE_AUDIENCE", mirelo::qolt::QOLT_ROLE_AUDIENCE)
        .export_values();

    py::enum_<QOLTScene>(m, "QOLTScene")
        .value("QOLT_SCENE_VIDEO_CALL", mirelo::qolt::QOLT_SCENE_VIDEO_CALL)
        .value("QOLT_SCENE_AUDIO_CALL", mirelo::qolt::QOLT_SCENE_AUDIO_CALL)
        .value("QOLT_SCENE_LIVE", mirelo::qolt::QOLT_SCENE_LIVE)
        .value("QOLT_SCENE_VOICE_CHAT", mirelo::qolt::QOLT_SCENE_VOICE_CHAT)
        .value("QOLT_SCENE_RECORD", mirelo::qolt::QOLT_SCENE_RECORD)
        .export_values();

    py::enum_<StreamType>(m, "StreamType")
        .value("STREAM_TYPE_UNKNOWN", mirelo::qolt::STREAM_TYPE_UNKNOWN)
        .value("STREAM_TYPE_VIDEO_HIGH", mirelo::qolt::STREAM_TYPE_VIDEO_HIGH)
        .value("STREAM_TYPE_VIDEO_LOW", mirelo::qolt::STREAM_TYPE_VIDEO_LOW)
        .value("STREAM_TYPE_VIDEO_AUX", mirelo::qolt::STREAM_TYPE_VIDEO_AUX)
        .value("STREAM_TYPE_AUDIO", mirelo::qolt::STREAM_TYPE_AUDIO)
        .export_values();

    py::enum_<AudioObtainMethod>(m, "AudioObtainMethod")
        .value("AUDIO_OBTAIN_METHOD_GET", mirelo::qolt::AUDIO_OBTAIN_METHOD_GET)
        .value("AUDIO_OBTAIN_METHOD_CALLBACK", mirelo::qolt::AUDIO_OBTAIN_METHOD_CALLBACK)
        .export_values();

    py::enum_<NetworkQuality>(m, "NetworkQuality")
        .value("NETWORK_QUALITY_UNKNOWN", mirelo::qolt::NETWORK_QUALITY_UNKNOWN)
        .value("NETWORK_QUALITY_EXCELLENT", mirelo::qolt::NETWORK_QUALITY_EXCELLENT)
        .value("NETWORK_QUALITY_GOOD", mirelo::qolt::NETWORK_QUALITY_GOOD)
        .value("NETWORK_QUALITY_POOR", mirelo::qolt::NETWORK_QUALITY_POOR)
        .value("NETWORK_QUALITY_BAD", mirelo::qolt::NETWORK_QUALITY_BAD)
        .value("NETWORK_QUALITY_VERY_BAD", mirelo::qolt::NETWORK_QUALITY_VERY_BAD)
        .value("NETWORK_QUALITY_DOWN", mirelo::qolt::NETWORK_QUALITY_DOWN)
        .export_values();

    py::enum_<ConnectionState>(m, "ConnectionState")
        .value("CONNECTION_STATE_INIT", mirelo::qolt::CONNECTION_STATE_INIT)
        .value("CONNECTION_STATE_DISCONNECTED", mirelo::qolt::CONNECTION_STATE_DISCONNECTED)
        .value("CONNECTION_STATE_CONNECTING", mirelo::qolt::CONNECTION_STATE_CONNECTING)
        .value("CONNECTION_STATE_CONNECTED", mirelo::qolt::CONNECTION_STATE_CONNECTED)
        .export_values();

    py::enum_<VideoRotation>(m, "VideoRotation")
        .value("VIDEO_ROTATION_0", mirelo::qolt::VIDEO_ROTATION_0)
        .value("VIDEO_ROTATION_90", mirelo::qolt::VIDEO_ROTATION_90)
        .value("VIDEO_ROTATION_180", mirelo::qolt::VIDEO_ROTATION_180)
        .value("VIDEO_ROTATION_270", mirelo::qolt::VIDEO_ROTATION_270)
        .export_values();

    py::enum_<VideoPixelFormat>(m, "VideoPixelFormat")
        .value("VIDEO_PIXEL_FORMAT_YUV420p", mirelo::qolt::VIDEO_PIXEL_FORMAT_YUV420p)
        .value("VIDEO_PIXEL_FORMAT_YUVA420p", mirelo::qolt::VIDEO_PIXEL_FORMAT_YUVA420p)
        .value("VIDEO_PIXEL_FORMAT_RGBA", mirelo::qolt::VIDEO_PIXEL_FORMAT_RGBA)
        .export_values();

    m.def(
        "SetLogPath", [](const NullableCString& path) { return ZQLiveSDK::SetLogPath(path.c_str()); }, py::arg("path"));
    m.def("SetLogLevel", &ZQLiveSDK::SetLogLevel, py::arg("level"));
    m.def("EnableConsoleLog", &ZQLiveSDK::EnableConsoleLog);
    m.def("DisableConsoleLog", &ZQLiveSDK::DisableConsoleLog);
    m.def("DisableLogCompress", &ZQLiveSDK::DisableLogCompress, py::arg("disabled"));
    m.def("DisableLogFile", &ZQLiveSDK::DisableLogFile, py::arg("disabled"));
    m.def(
        "SetSocks5Proxy",
        [](const NullableCString& ip, unsigned short port, const NullableCString& username,
           const NullableCString& password) {
            return ZQLiveSDK::SetSocks5Proxy(ip.c_str(), port, username.c_str(), password.c_str());
        },
        py::arg("ip"), py::arg("port"), py::arg("username"), py::arg("password"));
    m.def(
        "SetEnvironment", [](const NullableCString& env) { return ZQLiveSDK::SetEnvironment(env.c_str()); },
        py::arg("env"));

    py::module_::import("atexit").attr("register")(py::cpp_function(&CloseEventsAtExit));
    pthread_atfork(nullptr, nullptr, &ForgetEventsInFlightInChild);
    pthread_atfork(&ThreadStateKeeper::BeforeFork, &ThreadStateKeeper::AfterFork, &ThreadStateKeeper::AfterFork);
}
