// The Python module `quarvis`: the frames of captures, recordings and byte strings as numpy arrays,
// decoded by the core library (frame_sources.cpp). Its help text is the module's manual; quarvis.pyi
// gives the same API with types.
//
// Index: Manual | Arrays without copies | Exceptions | Frame and Frames | Module
#include "frame_sources.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <optional>

namespace py = pybind11;

namespace {

// ---- Manual --------------------------------------------------------------------------------------

constexpr const char* moduleManual = R"(Frames of the Ostrel range sensor as numpy arrays.

The frames are decoded by the same C++ library as the viewer and quarvis-decode: the same
synchroniser, the same frames, the same link counters.

Reading a file
    frames = quarvis.open("run.ostrel")      # a raw capture, or a CSV recording
    for frame in frames:
        print(frame.sequence, frame.stamp, frame.points.shape)   # ..., (480, 3)
    cloud = frames.to_array()                # every frame at once: (frames, 480, 3) float32
    print(frames.stats["Cksum errors"])

    open() tells the kinds apart by their first bytes, not by their names. A raw capture is the
    sensor's byte stream as the viewer or quarvis-decode --capture saved it; a recording is the
    viewer's CSV file (header "time,x1,y1,z1,..."). open() reads the whole file at once: the
    points of a capture take about twice its size in memory, and every array shares them.

Decoding bytes
    frames = quarvis.decode(data)            # bytes, bytearray, memoryview, numpy uint8 ...
    frames.stats                             # the ten counters quarvis-decode prints

Each frame
    sensor    the sensor's name ("ostrel" for a capture, a recording or bytes)
    sequence  the sensor's sequence number (a recording: the row number, from 1)
    stamp     the sensor's time stamp in seconds (a recording: the row's local time of writing)
    received  when the host received it, in seconds since the epoch, or None where the file does
              not say (a capture, bytes)
    points    read-only float32 array of shape (480, 3): x, y, z in metres

Errors
    A missing or unreadable file raises OSError (FileNotFoundError, IsADirectoryError,
    PermissionError ...) with the file's name; a file that is none of ours, or a recording without
    a readable row, raises quarvis.FormatError (a ValueError) with the file and the reason.)";

constexpr const char* frameManual = R"(One frame of one sensor. Its points array stays valid on its own, after the frame is gone.)";

constexpr const char* framesManual = R"(The frames of a file or of bytes, in the order they came.

len(frames), frames[k] (negative k counts from the end) and iteration give Frame objects;
to_array() gives the points of every frame of one sensor as one array without copying them.)";

// ---- Arrays without copies -----------------------------------------------------------------------
// The points stay in the store they were decoded into; each array keeps that store alive.

py::array readOnlyPoints(const std::shared_ptr<SensorFrames>& frames, size_t first, size_t count, bool oneFrame) {
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(count), pointsPerFrame, 3};
    std::vector<py::ssize_t> strides{floatsPerFrame * sizeof(float), 3 * sizeof(float), sizeof(float)};
    if (oneFrame) {
        shape.erase(shape.begin());
        strides.erase(strides.begin());
    }
    py::array points;
    if (count == 0) {
        points = py::array_t<float>(shape);
    } else {
        auto* owner = new std::shared_ptr<SensorFrames>(frames);
        py::capsule keeper(owner, [](void* held) { delete static_cast<std::shared_ptr<SensorFrames>*>(held); });
        points = py::array_t<float>(shape, strides, frames->points.data() + first * floatsPerFrame, keeper);
    }
    py::detail::array_proxy(points.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return points;
}

// ---- Exceptions ----------------------------------------------------------------------------------

// Process-wide state of the module: the FormatError class, made once at import (the GIL guards it).
PyObject* formatErrorClass = nullptr;

void raiseReadFailure(const ReadFailure& failure) {
    const py::object path = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(failure.path.data(), static_cast<Py_ssize_t>(failure.path.size())));
    if (!path) return;
    if (failure.errorNumber != 0) {
        // OSError picks its subclass from the number: FileNotFoundError, IsADirectoryError ...
        py::object error = py::reinterpret_steal<py::object>(
            PyObject_CallFunction(PyExc_OSError, "isO", failure.errorNumber, failure.reason.c_str(), path.ptr()));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        return;
    }
    py::object message = py::reinterpret_steal<py::object>(
        PyUnicode_FromFormat("%U: %s", path.ptr(), failure.reason.c_str()));
    if (!message) return;
    py::object error = py::reinterpret_steal<py::object>(PyObject_CallOneArg(formatErrorClass, message.ptr()));
    if (!error) return;
    error.attr("path") = path;
    error.attr("reason") = py::str(failure.reason);
    PyErr_SetObject(formatErrorClass, error.ptr());
}

// ---- Frame and Frames ----------------------------------------------------------------------------

struct Frame {
    std::string sensor;
    uint32_t sequence = 0;
    double stamp = 0.0;
    std::optional<double> received;
    py::array points;
};

struct Frames {
    std::shared_ptr<const FrameSet> set;

    size_t size() const { return set->order.size(); }

    Frame at(py::ssize_t index) const {
        const auto count = static_cast<py::ssize_t>(size());
        if (index < 0) index += count;
        if (index < 0 || index >= count) throw py::index_error("frame index out of range");
        const FrameSet::Entry entry = set->order[static_cast<size_t>(index)];
        const std::shared_ptr<SensorFrames>& frames = set->sensors[entry.sensor];
        Frame frame;
        frame.sensor = frames->name;
        frame.sequence = frames->sequence[entry.frame];
        frame.stamp = frames->stamp[entry.frame];
        if (!std::isnan(frames->received[entry.frame])) frame.received = frames->received[entry.frame];
        frame.points = readOnlyPoints(frames, entry.frame, 1, true);
        return frame;
    }

    std::vector<std::string> sensorNames() const {
        std::vector<std::string> names;
        for (const auto& frames : set->sensors) names.push_back(frames->name);
        return names;
    }

    // The one sensor asked for; without a name, the only sensor there is.
    const std::shared_ptr<SensorFrames>& sensor(const std::optional<std::string>& name) const {
        if (name) {
            for (const auto& frames : set->sensors)
                if (frames->name == *name) return frames;
            throw py::key_error("no sensor named '" + *name + "' in " + set->origin);
        }
        if (set->sensors.size() != 1)
            throw py::value_error(set->origin + " holds " + std::to_string(set->sensors.size()) +
                                  " sensors: name one (Frames.sensors lists them)");
        return set->sensors.front();
    }

    Frames select(const std::string& name) const {
        const std::shared_ptr<SensorFrames>& frames = sensor(name);
        auto one = std::make_shared<FrameSet>();
        one->origin = set->origin;
        one->sensors.push_back(frames);
        for (uint32_t k = 0; k < frames->size(); ++k) one->order.push_back({0, k});
        return Frames{std::move(one)};
    }

    py::array toArray(const std::optional<std::string>& name) const {
        const std::shared_ptr<SensorFrames>& frames = sensor(name);
        return readOnlyPoints(frames, 0, frames->size(), false);
    }

    py::object stats() const {
        const SensorFrames& frames = *sensor(std::nullopt);
        if (!frames.hasCounters) return py::none();
        py::dict counters;
        for (int index = 0; index < linkStatisticCount; ++index) counters[linkStatisticNames[index]] = frames.counters[index];
        return counters;
    }
};

struct FrameIterator {
    Frames frames;
    size_t next = 0;
};

Frames openFile(const py::object& path) {
    // The file system's own bytes: any name the system takes opens, whatever its encoding.
    const std::string name = py::bytes(py::module_::import("os").attr("fsencode")(path));
    FrameSet set;
    {
        py::gil_scoped_release unlocked;
        set = readFrameFile(name);
    }
    return Frames{std::make_shared<const FrameSet>(std::move(set))};
}

// The bytes of any object that offers them in one piece (bytes, bytearray, memoryview, numpy ...);
// one that cannot raises BufferError or TypeError.
struct ContiguousBytes {
    Py_buffer view{};
    explicit ContiguousBytes(const py::object& data) {
        if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    }
    ContiguousBytes(const ContiguousBytes&) = delete;
    ContiguousBytes& operator=(const ContiguousBytes&) = delete;
    ~ContiguousBytes() { PyBuffer_Release(&view); }
};

Frames decodeData(const py::object& data) {
    const ContiguousBytes bytes(data);
    FrameSet set;
    {
        py::gil_scoped_release unlocked;
        set = decodeBytes(static_cast<const uint8_t*>(bytes.view.buf), static_cast<size_t>(bytes.view.len));
    }
    return Frames{std::make_shared<const FrameSet>(std::move(set))};
}

}  // namespace

// ---- Module --------------------------------------------------------------------------------------

PYBIND11_MODULE(quarvis, module) {
    module.doc() = moduleManual;
    formatErrorClass = PyErr_NewExceptionWithDoc(
        "quarvis.FormatError",
        "The file is there but is none of the kinds quarvis reads, or holds no frame.\n"
        "`path` is the file, `reason` the sentence saying why.",
        PyExc_ValueError, nullptr);
    module.add_object("FormatError", py::handle(formatErrorClass));
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const ReadFailure& failure) {
            raiseReadFailure(failure);
        }
    });

    module.attr("POINTS_PER_FRAME") = pointsPerFrame;
    module.attr("STAT_NAMES") = py::cast(std::vector<std::string>(linkStatisticNames, linkStatisticNames + linkStatisticCount));

    py::class_<Frame>(module, "Frame", frameManual)
        .def_readonly("sensor", &Frame::sensor, "The sensor's name.")
        .def_readonly("sequence", &Frame::sequence, "The sensor's sequence number (a recording: the row number).")
        .def_readonly("stamp", &Frame::stamp, "The sensor's time stamp in seconds.")
        .def_readonly("received", &Frame::received,
                      "Host time of reception in seconds since the epoch, or None where the file has none.")
        .def_readonly("points", &Frame::points, "Read-only float32 array (480, 3): x, y, z in metres.")
        .def("__repr__", [](const Frame& frame) {
            return "<quarvis.Frame " + frame.sensor + " sequence " + std::to_string(frame.sequence) + " stamp " +
                   std::to_string(frame.stamp) + ">";
        });

    py::class_<FrameIterator>(module, "FrameIterator", "Iterates the frames of a Frames object in order.")
        .def("__iter__", [](FrameIterator& iterator) -> FrameIterator& { return iterator; })
        .def("__next__", [](FrameIterator& iterator) {
            if (iterator.next >= iterator.frames.size()) throw py::stop_iteration();
            return iterator.frames.at(static_cast<py::ssize_t>(iterator.next++));
        });

    py::class_<Frames>(module, "Frames", framesManual)
        .def("__len__", &Frames::size)
        .def("__getitem__", &Frames::at, py::arg("index"))
        .def("__iter__", [](const Frames& frames) { return FrameIterator{frames}; })
        .def_property_readonly("origin", [](const Frames& frames) { return frames.set->origin; },
                               "The file's path, or \"bytes\" for decode().")
        .def_property_readonly("sensors", &Frames::sensorNames, "The sensors' names, in the order they first appear.")
        .def_property_readonly("stats", &Frames::stats,
                               "The ten link counters of the one sensor, by the names the viewer shows\n"
                               "(\"Total bytes\", \"Good frames\", ... \"frame processed\"), as quarvis-decode\n"
                               "prints them; None for a recording, which has none.")
        .def("select", &Frames::select, py::arg("sensor"), "The frames of one sensor only.")
        .def("to_array", &Frames::toArray, py::arg("sensor") = py::none(),
             "The points of every frame of one sensor as one read-only float32 array of shape\n"
             "(frames, 480, 3), in metres, without copying them (.copy() gives a writable one).\n"
             "Without a name, the file must hold one sensor.")
        .def("__repr__", [](const Frames& frames) {
            return "<quarvis.Frames " + std::to_string(frames.size()) + " frames of " + frames.set->origin + ">";
        });

    module.def("open", &openFile, py::arg("path"),
               "Reads a raw capture or a CSV recording (told apart by their first bytes) and returns\n"
               "its frames. Raises OSError when the file cannot be read, FormatError when it is none\n"
               "of these or holds no frame.");
    module.def("decode", &decodeData, py::arg("data"),
               "Runs bytes through the sensor link's synchroniser, as quarvis-decode does, and returns\n"
               "the good frames and the ten link counters (Frames.stats).");
}
