// The value store: a value is pickled with protocol 5, its large buffers (numpy and pandas data)
// kept out of band so they are hashed and written straight from memory, and the file is named
// by the xxh3 digest of the whole pickle. A file is written once, to a temporary name then
// renamed, so a reader never sees half of one. Functions of the notebook's namespace are stored
// without their globals and, when loaded, look them up in the namespace they are loaded into,
// as they did in the kernel that defined them.
#include "engine_values.hpp"

#include "checks.hpp"
#include "class_builder.hpp"
#include "strings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace trelvo::cli::engine {
namespace {

using namespace trelvo::py;

const Scope* values_scope = nullptr;

constexpr char kMagic[8] = {'T', 'R', 'V', 'V', 'A', 'L', '1', '\n'};
constexpr std::size_t kAlignment = 64;
constexpr Py_ssize_t kOutOfBand = 64 * 1024;  // smaller buffers stay in the pickle stream
constexpr std::size_t kOverlapFrom = 4 << 20;   // values this large are hashed while written

std::size_t aligned(std::size_t offset) { return (offset + kAlignment - 1) / kAlignment * kAlignment; }

// A contiguous read-only view of a buffer, released with the object.
struct View {
    Py_buffer buffer{};
    explicit View(nb::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &buffer, PyBUF_CONTIG_RO) < 0) throw nb::python_error();
    }
    ~View() { PyBuffer_Release(&buffer); }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
};

[[noreturn]] void raise_os_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw nb::python_error();
}

std::string file_path(const std::string& directory, const std::string& digest) {
    return directory + "/" + digest.substr(0, 2) + "/" + digest;
}

// Writes every byte of the vectors, a few megabytes at a time while keep_going() holds; the GIL
// must be released by the caller when the write is large. Returns 0 or the errno of a failure.
int write_all(int fd, std::vector<iovec> parts, const std::function<bool()>& keep_going) {
    constexpr std::size_t kChunk = 8 << 20;
    std::size_t first = 0;
    while (first < parts.size()) {
        if (!keep_going()) return 0;
        // The vectors that make up the next chunk, the last one cut at its end.
        std::size_t last = first, size = 0;
        while (last < parts.size() && last - first < IOV_MAX && size < kChunk) size += parts[last++].iov_len;
        std::size_t over = size > kChunk ? size - kChunk : 0;
        iovec saved = parts[last - 1];
        parts[last - 1].iov_len -= over;
        ssize_t written = ::writev(fd, &parts[first], static_cast<int>(last - first));
        parts[last - 1] = saved;
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        auto left = static_cast<std::size_t>(written);
        while (first < parts.size() && left >= parts[first].iov_len) left -= parts[first++].iov_len;
        if (first < parts.size()) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
    return 0;
}

// buffer_callback of the pickler: large contiguous buffers go out of band into the list.
nb::object keep_out_of_band(const Args& a) {
    nb::handle buffer = a[0];
    PyObject* raw = PyObject_CallMethod(buffer.ptr(), "raw", nullptr);
    if (!raw) {  // not contiguous: pickled in band
        PyErr_Clear();
        return nb::bool_(true);
    }
    Py_ssize_t size = PyMemoryView_GET_BUFFER(raw)->len;
    Py_DECREF(raw);
    if (size < kOutOfBand) return nb::bool_(true);
    nb::borrow<nb::list>(a.closure()).append(buffer);
    return nb::bool_(false);
}

nb::handle keep_out_of_band_function;

// ---- functions stored without their globals ----------------------------------------------------

nb::object loading_globals;  // the namespace functions are rebuilt into, while a file is read

// The global names a code object may look up, its nested functions' included.
void code_names(nb::handle code, nb::handle names) {
    names.attr("update")(code.attr("co_names"));
    for (nb::handle constant : code.attr("co_consts"))
        if (PyCode_Check(constant.ptr())) code_names(constant, names);
}

// reducer_override(self, obj): a function of the pickler's namespace becomes its code and parts,
// rebuilt empty first (so a function that refers to itself through a closure pickles) and
// filled by _fill_function.
nb::object reducer_override(const Args& a) {
    nb::handle self = a[0], obj = a[1];
    if (PyFunction_Check(obj.ptr())) {
        nb::object namespace_ = nb::getattr(self, "_namespace", nb::none());
        if (PyFunction_GET_GLOBALS(obj.ptr()) == namespace_.ptr()) {
            code_names(obj.attr("__code__"), nb::getattr(self, "_reads"));
            nb::object closure = obj.attr("__closure__");
            nb::list cells;
            if (!closure.is_none())
                for (nb::handle cell : closure) {
                    PyObject* contents = PyCell_GET(cell.ptr());
                    cells.append(contents ? nb::make_tuple(true, nb::handle(contents)) : nb::make_tuple(false, nb::none()));
                }
            nb::object state = nb::make_tuple(obj.attr("__defaults__"), obj.attr("__kwdefaults__"),
                                              obj.attr("__qualname__"), obj.attr("__doc__"), obj.attr("__dict__"),
                                              obj.attr("__annotations__"), obj.attr("__module__"), nb::tuple(cells));
            return nb::make_tuple(values_scope->get("_empty_function"),
                                  nb::make_tuple(obj.attr("__code__"), obj.attr("__name__"),
                                                 closure.is_none() ? -1 : static_cast<long>(nb::len(cells))),
                                  state, nb::none(), nb::none(), values_scope->get("_fill_function"));
        }
    }
    return values_scope->get("CloudPickler").attr("reducer_override")(self, obj);
}

nb::object empty_function(const Args& a) {
    long cells = nb::cast<long>(a[2]);
    nb::object closure = nb::none();
    if (cells >= 0) {
        nb::list made;
        for (long i = 0; i < cells; ++i) made.append(nb::steal(PyCell_New(nullptr)));
        closure = nb::tuple(made);
    }
    nb::object globals = loading_globals.is_valid() ? loading_globals : nb::object(nb::dict());
    return values_scope->get("FunctionType")(a[0], globals, a[1], nb::none(), closure);
}

nb::object fill_function(const Args& a) {
    nb::handle function = a[0];
    nb::tuple state = nb::borrow<nb::tuple>(a[1]);
    function.attr("__defaults__") = state[0];
    function.attr("__kwdefaults__") = state[1];
    function.attr("__qualname__") = state[2];
    function.attr("__doc__") = state[3];
    function.attr("__dict__").attr("update")(state[4]);
    function.attr("__annotations__") = state[5];
    function.attr("__module__") = state[6];
    nb::object closure = function.attr("__closure__");
    std::size_t i = 0;
    for (nb::handle cell : state[7]) {
        if (arg_bool(cell[0]) && PyCell_Set(nb::tuple(closure)[i].ptr(), nb::object(cell[1]).ptr()) < 0)
            throw nb::python_error();
        ++i;
    }
    return nb::none();
}

std::atomic<unsigned> temporary_counter{0};

}  // namespace

ValueFile write_value_file(const Scope& scope, nb::handle value, const std::string& directory,
                           nb::handle globals) {
    nb::list out_of_band;
    nb::object stream = scope.get("io").attr("BytesIO")();
    nb::object pickler = scope.get("ValuePickler")(stream, 5, nb::arg("buffer_callback") =
                                                                  make_closure(keep_out_of_band_function, out_of_band));
    nb::setattr(pickler, "_namespace", globals);
    nb::object reads = values_scope->get("set")();
    nb::setattr(pickler, "_reads", reads);
    pickler.attr("dump")(value);
    nb::object in_band = stream.attr("getbuffer")();

    std::vector<std::unique_ptr<View>> views;
    views.push_back(std::make_unique<View>(in_band));
    for (nb::handle buffer : out_of_band) views.push_back(std::make_unique<View>(buffer));
    std::vector<std::uint64_t> header{static_cast<std::uint64_t>(views[0]->buffer.len), views.size() - 1};
    for (std::size_t i = 1; i < views.size(); ++i) header.push_back(static_cast<std::uint64_t>(views[i]->buffer.len));

    ValueFile file;
    file.reads = nb::borrow<nb::list>(values_scope->get("sorted")(reads));
    static const char zeros[kAlignment] = {};
    std::vector<iovec> parts;
    auto add = [&](const void* data, std::size_t size) {
        if (size) parts.push_back({const_cast<void*>(data), size});
        file.size += size;
    };
    auto pad = [&] { add(zeros, aligned(file.size) - file.size); };
    add(kMagic, sizeof kMagic);
    add(header.data(), header.size() * sizeof(std::uint64_t));
    pad();
    for (const auto& view : views) {
        add(view->buffer.buf, static_cast<std::size_t>(view->buffer.len));
        pad();
    }
    auto digest_of = [&] {  // under the GIL
        nb::object hash = scope.get("xxhash").attr("xxh3_128")();
        hash.attr("update")(nb::bytes(reinterpret_cast<const char*>(header.data()), header.size() * sizeof(std::uint64_t)));
        hash.attr("update")(in_band);
        for (nb::handle buffer : out_of_band) hash.attr("update")(buffer.attr("raw")());
        return utf8(hash.attr("hexdigest")());
    };
    auto exists = [&](const std::string& digest) {
        struct stat status {};
        return ::stat(file_path(directory, digest).c_str(), &status) == 0;
    };

    if (file.size < kOverlapFrom) {
        file.digest = digest_of();
        if (exists(file.digest)) return file;
    }
    // A large value is written while another thread computes its digest; when the store already
    // holds that digest (a later cell that left the same array), writing stops there.
    std::string temporary = directory + "/.tmp." + std::to_string(::getpid()) + "." + std::to_string(temporary_counter++);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) raise_os_error(temporary);
    bool duplicate = false;
    int error = 0;
    if (!file.digest.empty()) {
        error = write_all(fd, parts, [] { return true; });
    } else {
        std::atomic<bool> known{false};
        std::exception_ptr failure;
        {
            nb::gil_scoped_release release;
            std::thread hasher([&] {
                nb::gil_scoped_acquire gil;
                try {
                    file.digest = digest_of();
                } catch (...) {
                    failure = std::current_exception();
                }
                known = true;
            });
            error = write_all(fd, parts, [&] {
                if (!known || failure) return true;
                duplicate = exists(file.digest);
                return !duplicate;
            });
            hasher.join();
        }
        if (failure) {
            ::close(fd);
            ::unlink(temporary.c_str());
            std::rethrow_exception(failure);
        }
        duplicate = duplicate || (!error && exists(file.digest));
    }
    if (::close(fd) != 0 && !error) error = errno;
    if (duplicate || error) {
        ::unlink(temporary.c_str());
        if (duplicate) return file;
        errno = error;
        raise_os_error(temporary);
    }
    std::string folder = directory + "/" + file.digest.substr(0, 2);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        ::unlink(temporary.c_str());
        raise_os_error(folder);
    }
    if (::rename(temporary.c_str(), file_path(directory, file.digest).c_str()) != 0) {
        int failed = errno;
        ::unlink(temporary.c_str());
        errno = failed;
        raise_os_error(file_path(directory, file.digest));
    }
    return file;
}

nb::object read_value_file(const Scope& scope, const std::string& directory, const std::string& digest,
                           nb::handle globals) {
    std::string path = file_path(directory, digest);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raise_os_error(path);
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        raise_os_error(path);
    }
    auto size = static_cast<std::size_t>(status.st_size);
    // A bytearray, so the arrays unpickled onto it are writable, as they were.
    nb::object data = nb::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!data.is_valid()) {
        ::close(fd);
        throw nb::python_error();
    }
    char* bytes = PyByteArray_AS_STRING(data.ptr());
    std::size_t done = 0;
    int error = 0;
    {
        nb::gil_scoped_release release;
        while (done < size) {
            ssize_t n = ::read(fd, bytes + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    if (error) {
        errno = error;
        raise_os_error(path);
    }
    auto damaged = [&] { raise(PyExc_ValueError, "the stored value %s is damaged", digest.c_str()); };
    if (size < sizeof kMagic + 16 || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) damaged();
    std::uint64_t in_band = 0, count = 0;
    std::memcpy(&in_band, bytes + sizeof kMagic, 8);
    std::memcpy(&count, bytes + sizeof kMagic + 8, 8);
    if (count > (size - sizeof kMagic - 16) / 8) damaged();
    std::vector<std::uint64_t> lengths{in_band};
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t length = 0;
        std::memcpy(&length, bytes + sizeof kMagic + 16 + 8 * i, 8);
        lengths.push_back(length);
    }
    nb::object view = nb::steal(PyMemoryView_FromObject(data.ptr()));
    if (!view.is_valid()) throw nb::python_error();
    std::size_t offset = aligned(sizeof kMagic + 16 + 8 * count);
    nb::list parts;
    for (std::uint64_t length : lengths) {
        if (length > size || offset > size - length) damaged();
        nb::object slice = nb::steal(PySlice_New(nb::int_(offset).ptr(), nb::int_(offset + length).ptr(), nullptr));
        parts.append(view[slice]);
        offset = aligned(offset + length);
    }
    // The file's name is the digest of what it holds: a file damaged or changed since is refused
    // before anything of it is unpickled.
    std::vector<std::uint64_t> header{lengths[0], count};
    header.insert(header.end(), lengths.begin() + 1, lengths.end());
    nb::object hash = scope.get("xxhash").attr("xxh3_128")();
    hash.attr("update")(nb::bytes(reinterpret_cast<const char*>(header.data()), header.size() * sizeof(std::uint64_t)));
    for (nb::handle part : parts) hash.attr("update")(part);
    if (utf8(hash.attr("hexdigest")()) != digest)
        raise(PyExc_ValueError, "the stored value %s was changed since it was written", digest.c_str());
    nb::object saved = loading_globals;
    loading_globals = nb::borrow(globals);
    try {
        nb::object value = scope.get("pickle").attr("loads")(
            parts[0], nb::arg("buffers") = nb::steal(PySequence_GetSlice(parts.ptr(), 1, PY_SSIZE_T_MAX)));
        loading_globals = saved;
        return value;
    } catch (...) {
        loading_globals = saved;
        throw;
    }
}

std::string error_line(nb::python_error& error) {
    nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.value().ptr())));
    std::string text = utf8(type.attr("__name__"));
    std::string message = utf8(nb::str(error.value()));
    message = message.substr(0, message.find('\n'));
    return message.empty() ? text : text + ": " + message;
}

std::string unpicklable_reason(const Scope& scope, nb::handle name, nb::handle value, nb::python_error& error) {
    std::string type = utf8(nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))).attr("__name__"));
    std::string quoted = "'" + utf8(name) + "'";
    if (nb::isinstance(value, scope.get("io").attr("IOBase")))
        return quoted + " is an open file (" + type + ") and cannot be pickled";
    return quoted + " (" + type + ") cannot be pickled: " + error_line(error);
}

namespace {

nb::object write_value(const Args& a) {
    nb::object globals = a[2].is_none() ? nb::object(nb::dict()) : nb::borrow(a[2]);
    ValueFile file = write_value_file(*values_scope, a[1], utf8(arg_str(a[0], "directory")), globals);
    return from_utf8(file.digest);
}

nb::object read_value(const Args& a) {
    nb::object globals = a[2].is_none() ? nb::object(nb::dict()) : nb::borrow(a[2]);
    return read_value_file(*values_scope, utf8(arg_str(a[0], "directory")), utf8(arg_str(a[1], "digest")), globals);
}

}  // namespace

void register_value_files(const Scope& scope) {
    values_scope = &scope;
    scope.import("io");
    scope.import("pickle");
    scope.import("xxhash");
    scope.import_from("types", {"FunctionType"});
    scope.set("CloudPickler", nb::module_::import_("cloudpickle").attr("Pickler"));
    keep_out_of_band_function =
        make_function({"keep_out_of_band", "keep_out_of_band", scope.name(), "", {arg("buffer")}, "bool",
                       keep_out_of_band})
            .release();
    ClassBuilder(scope, "ValuePickler",
                 "cloudpickle's pickler, storing the namespace's functions without their globals.")
        .method("reducer_override", {arg("self"), arg("obj")}, "Any", reducer_override)
        .build(nb::make_tuple(scope.get("CloudPickler")));
    define_function(scope, "_empty_function", {arg("code"), arg("name"), arg("cells", "int")}, "FunctionType",
                    empty_function, "A stored function rebuilt in the namespace it is loaded into.");
    define_function(scope, "_fill_function", {arg("function"), arg("state")}, "None", fill_function,
                    "Gives a rebuilt function its defaults, names, attributes and closure.");
    define_function(scope, "write_value", {arg("directory", "str"), arg("value"), opt("globals", nb::none())},
                    "str", write_value, "Stores a value in the store under directory; returns its digest.");
    define_function(scope, "read_value", {arg("directory", "str"), arg("digest", "str"), opt("globals", nb::none())},
                    "Any", read_value, "A value of the store; its functions look their globals up in globals.");
}

}  // namespace trelvo::cli::engine
