// kelvane_analytics_utils.predictive_models.content
//
// The file set of a bundle held in memory, one stream per file, and its three
// storages: a directory, and a zip or a tar archive built in memory. The
// standard library (open, shutil, os, zipfile, tarfile) does every file and
// archive operation; this module decides the names, the order, which stored
// name feeds which stream (core/file_set) and where each stream is left.
//
// Bundles come from other teams, storage systems and uploads, so loading is
// bounded and saving never loses what is stored:
// - archive members are read in requests bounded by what remains of the
//   byte budget (core/limits), counted as they inflate, whatever the headers
//   declare; a member that declares more than what remains is not read;
// - a directory is read only from the regular files that lie inside it,
//   each checked before anything is read;
// - a directory save writes every file under a temporary name beside its
//   place and renames them into place only once all are complete.
#include "core/file_set.hpp"
#include "core/limits.hpp"
#include "frame/host.hpp"
#include "frame/state.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace kelvane;

#define CONTENT_NAMES(X)                                                                                  \
    X(seek) X(read) X(write) X(tell) X(getvalue) X(close) X(encode) X(decode) X(size) X(path) X(addfile) X(writestr) \
        X(extractfile) X(namelist) X(scorebundle_yaml) X(external_model_json) X(external_model_pmml)   \
            X(attached_images) X(st_mode) X(file_size) X(getinfo) X(join) X(open) \
                X(_raw) X(_limit) X(max_bytes) X(seekable)

// Objects of the namespace and of the library, captured while declaring.
struct State : ModuleState {
    KELVANE_NAMES(CONTENT_NAMES)
    nb::object StringIO, BytesIO, path_exists, mkdir, listdir, copyfileobj, tar_open, TarInfo, ZipFile, ZIP_DEFLATED,
        open, Content;
    // os and os.path functions the guarded file operations use.
    nb::object os_open, os_close, fstat, lstat, stat, fchmod, replace, unlink, realpath, dirname, path_join, fsencode;
    nb::object empty_bytes, max_bytes_default;
    // tarfile.TarFile.open of a subclass that reads the (decompressed) tar
    // stream through a BoundedStream; its taropen.
    nb::object bounded_tar_open, base_taropen, BoundedStream, kw_mode_fileobj_max_bytes;
    nb::object default_images;   // the empty mapping the signature shows; never stored
    nb::object zero, seek_end, mode_w, mode_r, mode_wb, mode_rb, utf8;
    nb::object yaml_name, json_name, pmml_name;
    // Keyword names of the calls made with keywords.
    nb::object kw_encoding, kw_name, kw_mode_fileobj, kw_tarinfo_fileobj, kw_file_mode_compression, kw_file_mode,
        kw_content;
};
KELVANE_STATE(State, S);

// ------------------------------------------------------------ stream steps

// callable(*positional, **dict(zip(kwnames, trailing values))). The pointers
// in `args` are borrowed: the caller holds each object until the call returns.
nb::object call(nb::handle callable, std::initializer_list<PyObject *> args, nb::handle kwnames = {}) {
    const std::size_t nkw = kwnames.is_valid() ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0;
    return check(PyObject_Vectorcall(callable.ptr(), std::data(args), args.size() - nkw, kwnames.ptr()));
}

void rewind(nb::handle stream) { call_method(S.str_seek, stream, S.zero); }
void seek_to_end(nb::handle stream) { call_method(S.str_seek, stream, S.zero, S.seek_end); }

// A new StringIO holding `text`, at position 0. Filled by a write rather than
// built over the text: the stream then keeps the text compactly until it is
// changed, instead of as four bytes per character.
nb::object text_stream(nb::handle text) {
    nb::object stream = check(PyObject_CallNoArgs(S.StringIO.ptr()));
    call_method(S.str_write, stream, text);
    rewind(stream);
    return stream;
}

// bytes.decode(): UTF-8, strict.
nb::object decode(nb::handle data) {
    PyObject *d = data.ptr();   // borrowed from the caller; no Python code runs below
    if (PyBytes_CheckExact(d)) return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(d), PyBytes_GET_SIZE(d), "strict"));
    return call_method(S.str_decode, data);
}

// str.encode(): UTF-8, strict.
nb::object encode(nb::handle text) {
    if (PyUnicode_CheckExact(text.ptr())) return check(PyUnicode_AsUTF8String(text.ptr()));
    return call_method(S.str_encode, text);
}

// Runs `body`, then closes `resource` also when the body fails, as a `with`
// block over it would: an error of the closing is raised instead, with the
// body's error as its context.
template <class Body>
void closing(nb::handle resource, Body body) {
    try {
        body();
    } catch (error_already_set &) {
    } catch (nb::python_error &e) {
        e.restore();
    }
    nb::object failure = nb::steal(PyErr_GetRaisedException());
    try {
        call_method(S.str_close, resource);
    } catch (error_already_set &) {
        if (failure.is_valid()) chain_pending(failure);
        throw;
    }
    if (failure.is_valid()) {
        PyErr_SetRaisedException(failure.release().ptr());
        throw_error();
    }
}

// The bytes the naming rules read from a stored name; `hold` keeps them alive
// when they are not the string's own UTF-8 buffer (which lives as long as the
// string, held by the caller). Names from tar headers and directory listings
// may carry lone surrogates (bytes that did not decode): those are encoded as
// they stand, which leaves every ASCII character, and so every rule, in place.
std::string_view name_bytes(nb::handle name, nb::object &hold) {
    PyObject *n = name.ptr();   // borrowed from the caller, who holds the name
    if (PyUnicode_Check(n)) {
        Py_ssize_t size;
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(n, &size)) return {utf8, static_cast<std::size_t>(size)};
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
        PyErr_Clear();
        hold = check(PyUnicode_AsEncodedString(n, "utf-8", "surrogatepass"));
    } else if (PyBytes_Check(n)) {
        hold = nb::borrow(name);
    } else {
        raise_result_type("str", n);
        throw_error();
    }
    return {PyBytes_AS_STRING(hold.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(hold.ptr()))};
}

// The four fields of a content, read as attributes.
struct Fields {
    nb::object yaml, json, pmml, images;
    explicit Fields(nb::handle self)
        : yaml(check(PyObject_GetAttr(self.ptr(), S.str_scorebundle_yaml))),
          json(check(PyObject_GetAttr(self.ptr(), S.str_external_model_json))),
          pmml(check(PyObject_GetAttr(self.ptr(), S.str_external_model_pmml))),
          images(check(PyObject_GetAttr(self.ptr(), S.str_attached_images))) {}
};

// Calls f(key, image) for each entry of the image mapping, in its order.
template <class F>
void each_image(const nb::object &images, F f) {
    each(images, [&](nb::handle key) {
        nb::object image = check(PyObject_GetItem(images.ptr(), key.ptr()));
        f(key, image);
        return false;
    });
}

// The stored name of the PMML text: the caller's when given and not empty.
nb::handle pmml_name(nb::handle pmml_filename) { return truthy(pmml_filename) ? pmml_filename : S.pmml_name; }

// ExtendedPredictiveModelContent(scorebundle_yaml=..., ...), always of this
// class. An archive without the YAML document leaves `yaml` unset.
nb::object new_content(const nb::object &yaml, const nb::object &json, const nb::object &pmml,
                       const nb::object &images) {
    if (!yaml.is_valid()) {
        PyErr_SetString(PyExc_UnboundLocalError,
                        "the archive holds no member \"extended_model.yaml\" (local variable 'scorebundle_yaml' "
                        "referenced before assignment)");
        throw_error();
    }
    return call(S.Content, {yaml.ptr(), json.ptr(), pmml.ptr(), images.ptr()}, S.kw_content);
}

// Arguments (`a[i]`) are borrowed from the call, which holds them until it returns.

// ------------------------------------------------------------ __init__

nb::object init(Args a) {
    // Built without the argument, each content gets a mapping of its own.
    nb::object images = a.get(4) == S.default_images.ptr() ? check(PyDict_New()) : nb::borrow(a[4]);
    PyObject *self = a.get(0);   // borrowed from the call
    if (PyObject_SetAttr(self, S.str_scorebundle_yaml, a.get(1)) < 0 ||
        PyObject_SetAttr(self, S.str_external_model_json, a.get(2)) < 0 ||
        PyObject_SetAttr(self, S.str_external_model_pmml, a.get(3)) < 0 ||
        PyObject_SetAttr(self, S.str_attached_images, images.ptr()) < 0)
        throw_error();
    return none();
}

// ------------------------------------------------------------ directory

// Refuses an image key that would be written outside the directory. Keys that
// are not paths at all are left to the path join, which refuses them itself.
void refuse_leaving_key(nb::handle key) {
    nb::object path = nb::borrow(key);
    if (!PyUnicode_Check(key.ptr())) {
        path = nb::steal(PyOS_FSPath(key.ptr()));
        if (!path.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
            PyErr_Clear();
            return;
        }
        if (!PyUnicode_Check(path.ptr())) return;
    }
    nb::object hold;
    if (core::key_leaves_directory(name_bytes(path, hold))) {
        PyErr_Format(PyExc_ValueError, "Image key %R would be written outside the directory", key.ptr());
        throw_error();
    }
}

nb::object join(nb::handle directory, nb::handle name) {
    return check(PyNumber_TrueDivide(directory.ptr(), name.ptr()));
}

// os.fsencode(os.path.realpath(path)): the bytes of a real path.
nb::object real_path_bytes(nb::handle path) { return call(S.fsencode, {call(S.realpath, {path.ptr()}).ptr()}); }

std::string_view bytes_view(const nb::object &b) {
    return {PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))};
}

// The st_mode of an os.stat_result.
unsigned long file_mode(const nb::object &stat_result) {
    nb::object mode = check(PyObject_GetAttr(stat_result.ptr(), S.str_st_mode));
    const unsigned long m = PyLong_AsUnsignedLong(mode.ptr());
    if (m == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error();
    return m;
}

[[noreturn]] void refuse_file(const char *what, nb::handle path) {
    nb::object text = check(PyOS_FSPath(path.ptr()));
    PyErr_Format(PyExc_ValueError, "Bundle file %R %s", text.ptr(), what);
    throw_error();
}

// A file a directory load may read: a regular file, or a symbolic link to a
// regular file whose real path lies inside the directory (`root`, a real
// path). Anything else is refused before it is opened: a FIFO would block
// the read, a device never end it, a link leaving the directory read what
// the bundle does not hold. A missing file raises the FileNotFoundError its
// opening would.
void require_regular_inside(std::string_view root, nb::handle path) {
    unsigned long mode = file_mode(call(S.lstat, {path.ptr()}));
    if (S_ISLNK(mode)) {
        nb::object real = real_path_bytes(path);
        if (!core::path_lies_inside(root, bytes_view(real))) refuse_file("leads outside the bundle directory", path);
        mode = file_mode(call(S.stat, {path.ptr()}));
    }
    if (!S_ISREG(mode)) refuse_file("is not a regular file", path);
}

// open(fd, mode), with the encoding "utf-8" for text, once `prepare()` has
// run on the descriptor: the file object takes the descriptor over, and a
// failure before that closes it.
template <class Prepare>
nb::object file_over(const nb::object &fd, const nb::object &mode, bool text, Prepare prepare) {
    try {
        prepare();
        return text ? call(S.open, {fd.ptr(), mode.ptr(), S.utf8.ptr()}, S.kw_encoding) : call(S.open, {fd.ptr(), mode.ptr()});
    } catch (error_already_set &) {
        nb::object failure = nb::steal(PyErr_GetRaisedException());
        PyObject *closed = PyObject_CallOneArg(S.os_close.ptr(), fd.ptr());
        Py_XDECREF(closed);
        PyErr_Clear();
        PyErr_SetRaisedException(failure.release().ptr());
        throw;
    }
}

// Copies a whole file into `stream`: text read as UTF-8, or bytes. Opened
// without blocking and checked again once open, so that a file replaced by a
// FIFO or a device since it was checked is refused all the same.
void read_file(const nb::object &path, nb::handle stream, bool text) {
    nb::object flags = nb::int_(O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    nb::object fd = call(S.os_open, {path.ptr(), flags.ptr()});
    nb::object file = file_over(fd, text ? S.mode_r : S.mode_rb, text, [&] {
        if (!S_ISREG(file_mode(call(S.fstat, {fd.ptr()})))) refuse_file("is not a regular file", path);
    });
    closing(file, [&] {
        rewind(file);
        call(S.copyfileobj, {file.ptr(), stream.ptr()});
    });
}

// ------------------------------------------------------------ saving a directory

// One file of the set on its way into the directory.
struct Planned {
    nb::object final_path;
    nb::handle stream;   // held by the content's fields for the whole save
    bool text;
    long keep_mode = -1;   // the permission bits of the file it replaces, if any
    nb::object temporary;  // set once the temporary file exists

    Planned(nb::object path, nb::handle source, bool is_text)
        : final_path(std::move(path)), stream(source), text(is_text) {}
};

std::uint64_t random_word() {
    static std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

// The target as it is now: a regular file keeps its permission bits in the
// new one; a folder where a file goes is refused as opening it would be
// (before anything is written). Links are never followed: the rename
// replaces the link itself.
void inspect_target(Planned &p) {
    PyObject *st = PyObject_CallOneArg(S.lstat.ptr(), p.final_path.ptr());
    if (!st) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) throw_error();
        PyErr_Clear();
        return;
    }
    const unsigned long mode = file_mode(nb::steal(st));
    if (S_ISDIR(mode)) {
        nb::object text = check(PyOS_FSPath(p.final_path.ptr()));
        PyErr_SetObject(PyExc_IsADirectoryError,
                        nb::make_tuple(EISDIR, "Is a directory", text).ptr());
        throw_error();
    }
    if (S_ISREG(mode)) p.keep_mode = static_cast<long>(mode & 07777);
}

// An image key naming a folder must not reach outside the directory through
// a symbolic link on the way (the key itself was checked for "..").
void require_folder_inside(std::string_view root, const Planned &p) {
    nb::object folder = call(S.dirname, {check(PyOS_FSPath(p.final_path.ptr())).ptr()});
    nb::object real = real_path_bytes(folder);
    if (!core::path_lies_inside(root, bytes_view(real))) refuse_file("would be written outside the directory", p.final_path);
}

// Creates the temporary file beside the target (same folder, so the rename is
// atomic), exclusively and without following links, and writes the stream
// into it. The name is recorded before writing so that a failure removes it.
void write_temporary(Planned &p) {
    nb::object folder = call(S.dirname, {check(PyOS_FSPath(p.final_path.ptr())).ptr()});
    nb::object flags = nb::int_(O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
    nb::object mode = nb::int_(0666);
    nb::object fd;
    for (int attempt = 0; !fd.is_valid(); ++attempt) {
        nb::object name = check(PyUnicode_FromString(core::temporary_name(random_word()).c_str()));
        nb::object candidate = call(S.path_join, {folder.ptr(), name.ptr()});
        PyObject *opened = PyObject_CallFunctionObjArgs(S.os_open.ptr(), candidate.ptr(), flags.ptr(), mode.ptr(), nullptr);
        if (opened) {
            fd = nb::steal(opened);
            p.temporary = candidate;
        } else if (attempt < 8 && PyErr_ExceptionMatches(PyExc_FileExistsError)) {
            PyErr_Clear();
        } else {
            throw_error();
        }
    }
    nb::object file = file_over(fd, p.text ? S.mode_w : S.mode_wb, p.text, [&] {
        if (p.keep_mode >= 0) call(S.fchmod, {fd.ptr(), nb::int_(p.keep_mode).ptr()});
    });
    closing(file, [&] {
        rewind(p.stream);
        call(S.copyfileobj, {p.stream.ptr(), file.ptr()});
    });
}

// Removes the temporaries not renamed yet, keeping the pending error (a
// removal that fails leaves that file behind, nothing else).
void remove_temporaries(const std::vector<Planned> &plan) {
    nb::object failure = nb::steal(PyErr_GetRaisedException());
    for (const Planned &p : plan) {
        if (!p.temporary.is_valid()) continue;
        PyObject *removed = PyObject_CallOneArg(S.unlink.ptr(), p.temporary.ptr());
        Py_XDECREF(removed);
        PyErr_Clear();
    }
    PyErr_SetRaisedException(failure.release().ptr());
}

nb::object save_to_directory(Args a) {
    nb::handle directory = a[1];
    Fields f(a[0]);
    // Every key is tested before anything is created or written.
    each(f.images, [](nb::handle key) {
        refuse_leaving_key(key);
        return false;
    });
    if (!truthy(call(S.path_exists, {directory.ptr()}))) call(S.mkdir, {directory.ptr()});

    std::vector<Planned> plan;
    plan.emplace_back(join(directory, S.yaml_name), f.yaml, true);
    if (!f.json.is_none()) plan.emplace_back(join(directory, S.json_name), f.json, true);
    if (!f.pmml.is_none()) plan.emplace_back(join(directory, pmml_name(a[2])), f.pmml, true);
    const std::size_t first_image = plan.size();
    each_image(f.images, [&](nb::handle key, nb::handle image) { plan.emplace_back(join(directory, key), image, false); });
    nb::object root = real_path_bytes(directory);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (i >= first_image) require_folder_inside(bytes_view(root), plan[i]);
        inspect_target(plan[i]);
    }

    try {
        for (Planned &p : plan) write_temporary(p);
        // Every file is complete: into place, in the order they were written
        // (a later file of the same name wins, as it would by rewriting).
        for (Planned &p : plan) {
            call(S.replace, {p.temporary.ptr(), p.final_path.ptr()});
            p.temporary.reset();
        }
    } catch (error_already_set &) {
        remove_temporaries(plan);
        throw;
    }
    return none();
}

// ------------------------------------------------------------ loading a directory

nb::object load_from_directory(Args a) {
    nb::handle directory = a[1];
    nb::object yaml = check(PyObject_CallNoArgs(S.StringIO.ptr())), json = none(), pmml = none();
    nb::object listing = call(S.listdir, {directory.ptr()});
    nb::object first_pmml;
    each(listing, [&](nb::handle name) {
        nb::object hold;
        const std::string_view bytes = name_bytes(name, hold);
        if (core::is_directory_pmml(bytes) && !core::is_foreign_member(bytes)) first_pmml = nb::borrow(name);
        return first_pmml.is_valid();
    });
    const int has_json = PySequence_Contains(listing.ptr(), S.json_name.ptr());
    if (has_json < 0) throw_error();

    // The directory is listed again for the images.
    std::vector<nb::object> image_names;
    each(call(S.listdir, {directory.ptr()}), [&](nb::handle name) {
        nb::object hold;
        const std::string_view bytes = name_bytes(name, hold);
        if (core::is_directory_image(bytes) && !core::is_foreign_member(bytes)) image_names.push_back(nb::borrow(name));
        return false;
    });

    // Every file is checked before any is read.
    nb::object root = real_path_bytes(directory);
    nb::object yaml_path = join(directory, S.yaml_name);
    nb::object json_path = has_json ? join(directory, S.json_name) : nb::object();
    nb::object pmml_path = first_pmml.is_valid() ? join(directory, first_pmml) : nb::object();
    std::vector<nb::object> image_paths;
    for (const nb::object &name : image_names) image_paths.push_back(join(directory, name));
    for (const nb::object *path : {&yaml_path, &json_path, &pmml_path})
        if (path->is_valid()) require_regular_inside(bytes_view(root), *path);
    for (const nb::object &path : image_paths) require_regular_inside(bytes_view(root), path);

    read_file(yaml_path, yaml, true);
    if (json_path.is_valid()) {
        json = check(PyObject_CallNoArgs(S.StringIO.ptr()));
        read_file(json_path, json, true);
    }
    if (pmml_path.is_valid()) {
        pmml = check(PyObject_CallNoArgs(S.StringIO.ptr()));
        read_file(pmml_path, pmml, true);
    }
    nb::object images = check(PyDict_New());
    for (std::size_t i = 0; i < image_names.size(); ++i) {
        nb::object image = check(PyObject_CallNoArgs(S.BytesIO.ptr()));
        read_file(image_paths[i], image, false);
        if (PyObject_SetItem(images.ptr(), image_names[i].ptr(), image.ptr()) < 0) throw_error();
    }
    return new_content(yaml, json, pmml, images);
}

// ------------------------------------------------------------ archives

// Member names must be exactly str (image keys are the caller's).
void require_name(nb::handle name) {
    if (!PyUnicode_CheckExact(name.ptr())) {
        raise_result_type("str", name.ptr());
        throw_error();
    }
}

bool is_text_stream(nb::handle buffer) {
    const int r = PyObject_IsInstance(buffer.ptr(), S.StringIO.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// The whole text of a StringIO as UTF-8 bytes; the stream is left at its end.
nb::object encoded_text(nb::handle buffer) {
    rewind(buffer);
    return encode(call_method(S.str_read, buffer));
}

// Sets the archive member read into a text stream: `yaml`, `json` or `pmml`.
nb::object &text_slot(core::MemberRole role, nb::object &yaml, nb::object &json, nb::object &pmml) {
    return role == core::MemberRole::Yaml ? yaml : role == core::MemberRole::Json ? json : pmml;
}

// ------------------------------------------------------------ bounded reading

// max_bytes: an int of at least 0 (an int beyond 64 bits sets no limit).
core::ByteBudget budget_of(nb::handle max_bytes) {
    if (!PyLong_Check(max_bytes.ptr()) || PyBool_Check(max_bytes.ptr())) {
        raise_argument_type("max_bytes", "int", max_bytes.ptr());
        throw_error();
    }
    if (PyObject_RichCompareBool(max_bytes.ptr(), S.zero.ptr(), Py_LT)) {
        PyErr_Format(PyExc_ValueError, "max_bytes must be 0 or more, not %S", max_bytes.ptr());
        throw_error();
    }
    unsigned long long limit = PyLong_AsUnsignedLongLong(max_bytes.ptr());
    if (limit == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
        PyErr_Clear();
    }
    return core::ByteBudget(limit);
}

[[noreturn]] void refuse_member(nb::handle name, const core::ByteBudget &budget, const char *how,
                                std::uint64_t declared = 0) {
    if (declared)
        PyErr_Format(PyExc_ValueError, "Archive member %R declares %llu bytes, past the limit of %llu bytes (max_bytes)",
                     name.ptr(), static_cast<unsigned long long>(declared),
                     static_cast<unsigned long long>(budget.limit()));
    else
        PyErr_Format(PyExc_ValueError, "Archive member %R %s past the limit of %llu bytes (max_bytes)", name.ptr(), how,
                     static_cast<unsigned long long>(budget.limit()));
    throw_error();
}

// A member's declared size (an int attribute of its header, never trusted
// for the count): refuses the member before it is read when it declares more
// than what remains.
std::uint64_t admit_declared(nb::handle header, PyObject *size_name, nb::handle name, const core::ByteBudget &budget) {
    nb::object size = check(PyObject_GetAttr(header.ptr(), size_name));
    unsigned long long declared = PyLong_AsUnsignedLongLong(size.ptr());
    if (declared == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();   // not a size this count can use: read it and count
        return 0;
    }
    if (!budget.admits(declared)) refuse_member(name, budget, "", declared);
    return declared;
}

// The whole data of an open member, read in requests bounded by the budget
// and counted as it comes, whatever the member declared (`expected` only
// sizes the first request, which usually takes it all). Refuses as soon as
// the total passes the limit.
nb::object read_member(nb::handle file, nb::handle name, core::ByteBudget &budget, std::uint64_t expected) {
    std::vector<nb::object> chunks;
    std::uint64_t got = 0;
    for (;;) {
        nb::object n = check(PyLong_FromUnsignedLongLong(budget.request(expected, got)));
        nb::object chunk = call_method(S.str_read, file, n);
        if (!PyBytes_Check(chunk.ptr())) {
            raise_result_type("bytes", chunk.ptr());
            throw_error();
        }
        const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(chunk.ptr()));
        if (size == 0) break;
        if (!budget.take(size)) refuse_member(name, budget, "inflates");
        got += size;
        chunks.push_back(std::move(chunk));
    }
    if (chunks.empty()) return S.empty_bytes;
    if (chunks.size() == 1) return chunks.front();
    nb::object list = check(PyList_New(0));
    for (nb::object &c : chunks) {
        if (PyList_Append(list.ptr(), c.ptr()) < 0) throw_error();
        c.reset();
    }
    return call_method(S.str_join, S.empty_bytes, list);
}

// ------------------------------------------------------------ the tar stream

// The tar reader walks the archive's stream (inflated, for a compressed
// archive): headers, extended headers it reads whole, data it passes over.
// It reads that stream through a BoundedStream, which refuses any read or
// seek reaching past `_limit` bytes of it, before it is made: an extended
// header declaring gigabytes would otherwise be inflated and held whole
// before any member is seen. Methods: read(size=-1), seek(offset, whence=0),
// tell(), seekable(), over `_raw`.
std::uint64_t stream_limit(nb::handle self) {
    nb::object limit = check(PyObject_GetAttr(self.ptr(), S.str__limit));
    return PyLong_AsUnsignedLongLong(limit.ptr());
}

[[noreturn]] void refuse_stream(std::uint64_t limit, std::uint64_t end) {
    PyErr_Format(PyExc_ValueError,
                 "The tar archive's stream reaches %llu bytes, past the limit of %llu bytes (max_bytes), in headers "
                 "or data its reader goes through",
                 static_cast<unsigned long long>(end), static_cast<unsigned long long>(limit));
    throw_error();
}

std::uint64_t stream_position(const nb::object &raw) {
    nb::object at = call_method(S.str_tell, raw);
    const unsigned long long pos = PyLong_AsUnsignedLongLong(at.ptr());
    if (pos == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
    return pos;
}

nb::object stream_read(Args a) {
    nb::object raw = check(PyObject_GetAttr(a.get(0), S.str__raw));
    const std::uint64_t limit = stream_limit(a[0]), pos = stream_position(raw);
    const long long size = a[1].is_none() ? -1 : PyLong_AsLongLong(a.get(1));
    if (size == -1 && PyErr_Occurred()) throw_error();
    const std::uint64_t wanted = size < 0 ? core::saturating_add(limit > pos ? limit - pos : 0, 1)
                                          : static_cast<std::uint64_t>(size);
    // A request past the limit is refused before it is made (the reader asks
    // for what a header says the next step holds); a read to the end is cut
    // one byte past it and checked below.
    if (size >= 0 && core::saturating_add(pos, wanted) > limit) refuse_stream(limit, core::saturating_add(pos, wanted));
    nb::object n = check(PyLong_FromUnsignedLongLong(wanted));
    nb::object data = call_method(S.str_read, raw, n);
    if (PyBytes_Check(data.ptr()) && core::saturating_add(pos, static_cast<std::uint64_t>(PyBytes_GET_SIZE(data.ptr()))) > limit)
        refuse_stream(limit, pos + static_cast<std::uint64_t>(PyBytes_GET_SIZE(data.ptr())));
    return data;
}

nb::object stream_seek(Args a) {
    nb::object raw = check(PyObject_GetAttr(a.get(0), S.str__raw));
    const long long offset = PyLong_AsLongLong(a.get(1)), whence = PyLong_AsLongLong(a.get(2));
    if ((offset == -1 || whence == -1) && PyErr_Occurred()) throw_error();
    if (whence == 0 && offset > 0 && static_cast<std::uint64_t>(offset) > stream_limit(a[0]))
        refuse_stream(stream_limit(a[0]), static_cast<std::uint64_t>(offset));
    return call_method(S.str_seek, raw, a[1], a[2]);
}

nb::object stream_tell(Args a) { return call_method(S.str_tell, check(PyObject_GetAttr(a.get(0), S.str__raw))); }
nb::object stream_seekable(Args a) {
    return call_method(S.str_seekable, check(PyObject_GetAttr(a.get(0), S.str__raw)));
}

// taropen(cls, name, mode="r", fileobj=None, **kwargs) of the bounded reader:
// the stream handed to the tar reader (the decompressor's output for a
// compressed archive) goes through a BoundedStream of kwargs["max_bytes"].
nb::object bounded_taropen(Args a) {
    PyObject *kwargs = a.get(4);   // owned by this call
    PyObject *limit = PyDict_GetItemWithError(kwargs, S.str_max_bytes);   // borrowed; held by kwargs
    if (!limit) {
        if (PyErr_Occurred()) throw_error();
        PyErr_SetString(PyExc_TypeError, "taropen of the bounded tar reader needs max_bytes");
        throw_error();
    }
    nb::object stream = check(PyObject_CallNoArgs(S.BoundedStream.ptr()));
    if (PyObject_SetAttr(stream.ptr(), S.str__raw, a.get(3)) < 0 || PyObject_SetAttr(stream.ptr(), S.str__limit, limit) < 0 ||
        PyDict_DelItem(kwargs, S.str_max_bytes) < 0)
        throw_error();
    nb::object args = nb::make_tuple(nb::handle(a[0]), nb::handle(a[1]), nb::handle(a[2]), stream);
    return check(PyObject_Call(S.base_taropen.ptr(), args.ptr(), kwargs));
}

// ------------------------------------------------------------ tar

// One stream as one regular member whose header carries only its name and size.
void add_tar_member(nb::handle archive, nb::handle buffer, nb::handle name) {
    require_name(name);
    nb::object data = nb::borrow(buffer);
    if (is_text_stream(buffer)) data = call(S.BytesIO, {encoded_text(buffer).ptr()});
    nb::object info = call(S.TarInfo, {name.ptr()}, S.kw_name);
    seek_to_end(data);
    if (PyObject_SetAttr(info.ptr(), S.str_size, call_method(S.str_tell, data).ptr()) < 0) throw_error();
    rewind(data);
    PyObject *args[] = {archive.ptr(), info.ptr(), data.ptr()};   // borrowed: held by the handles above
    check(PyObject_VectorcallMethod(S.str_addfile, args, 1, S.kw_tarinfo_fileobj.ptr()));
}

nb::object save_to_tar(Args a) {
    Fields f(a[0]);
    nb::object out = check(PyObject_CallNoArgs(S.BytesIO.ptr()));
    nb::object tar = call(S.tar_open, {S.mode_w.ptr(), out.ptr()}, S.kw_mode_fileobj);
    add_tar_member(tar, f.yaml, S.yaml_name);
    if (!f.json.is_none()) add_tar_member(tar, f.json, S.json_name);
    if (!f.pmml.is_none()) add_tar_member(tar, f.pmml, S.pmml_name);
    each_image(f.images, [&](nb::handle key, nb::handle image) { add_tar_member(tar, image, key); });
    call_method(S.str_close, tar);
    return out;
}

nb::object load_from_tar(Args a) {
    nb::handle tar_content = a[1];
    core::ByteBudget budget = budget_of(a[2]);
    rewind(tar_content);
    nb::object limit = check(PyLong_FromUnsignedLongLong(budget.limit()));
    nb::object tar = call(S.bounded_tar_open, {S.mode_r.ptr(), tar_content.ptr(), limit.ptr()}, S.kw_mode_fileobj_max_bytes);
    nb::object images = check(PyDict_New()), json = none(), pmml = none(), yaml;
    // The members one by one, as the archive is read: a member is checked
    // before the reader passes over its data to the next header (a compressed
    // archive inflates what it passes over).
    each(tar, [&](nb::handle member) {
        nb::object path = check(PyObject_GetAttr(member.ptr(), S.str_path)), hold;
        const std::string_view bytes = name_bytes(path, hold);
        if (core::is_foreign_member(bytes)) return false;
        nb::object file = call_method(S.str_extractfile, tar, member);
        if (file.is_none()) return false;   // no file content: a folder, a device...
        const std::uint64_t declared = admit_declared(member, S.str_size, path, budget);
        const core::MemberRole role = core::archive_member_role(bytes);
        rewind(file);
        nb::object data = read_member(file, path, budget, declared);
        if (role == core::MemberRole::Image) {
            // Over the member's bytes and at their end, as if copied in.
            nb::object image = call(S.BytesIO, {data.ptr()});
            seek_to_end(image);
            if (PyObject_SetItem(images.ptr(), path.ptr(), image.ptr()) < 0) throw_error();
        } else {
            nb::object text = decode(data);
            data.reset();   // the bytes go before the text is copied into its stream
            text_slot(role, yaml, json, pmml) = text_stream(text);
        }
        return false;
    });
    return new_content(yaml, json, pmml, images);
}

// ------------------------------------------------------------ zip

// One stream as one member written by writestr with a plain name.
void add_zip_member(nb::handle archive, nb::handle buffer, nb::handle name) {
    require_name(name);
    nb::object data;
    if (is_text_stream(buffer)) {
        data = encoded_text(buffer);   // the bytes themselves: no stream is needed around them
    } else {
        seek_to_end(buffer);
        rewind(buffer);
        data = call_method(S.str_getvalue, buffer);
    }
    call_method(S.str_writestr, archive, name, data);
}

nb::object save_to_zip(Args a) {
    Fields f(a[0]);
    nb::object out = check(PyObject_CallNoArgs(S.BytesIO.ptr()));
    nb::object zf = call(S.ZipFile, {out.ptr(), S.mode_w.ptr(), S.ZIP_DEFLATED.ptr()}, S.kw_file_mode_compression);
    closing(zf, [&] {
        add_zip_member(zf, f.yaml, S.yaml_name);
        if (!f.json.is_none()) add_zip_member(zf, f.json, S.json_name);
        if (!f.pmml.is_none()) add_zip_member(zf, f.pmml, pmml_name(a[1]));
        each_image(f.images, [&](nb::handle key, nb::handle image) { add_zip_member(zf, image, key); });
    });
    return out;
}

nb::object load_from_zip(Args a) {
    nb::handle zip_content = a[1];
    core::ByteBudget budget = budget_of(a[2]);
    rewind(zip_content);
    nb::object zf = call(S.ZipFile, {zip_content.ptr(), S.mode_r.ptr()}, S.kw_file_mode);
    nb::object images = check(PyDict_New()), json = none(), pmml = none(), yaml;
    each(call_method(S.str_namelist, zf), [&](nb::handle name) {
        nb::object hold;
        const std::string_view bytes = name_bytes(name, hold);
        if (core::is_zip_folder_entry(bytes) || core::is_foreign_member(bytes)) return false;
        nb::object info = call_method(S.str_getinfo, zf, name);
        const std::uint64_t declared = admit_declared(info, S.str_file_size, name, budget);
        nb::object file = call_method(S.str_open, zf, info);
        nb::object data;
        closing(file, [&] { data = read_member(file, name, budget, declared); });
        const core::MemberRole role = core::archive_member_role(bytes);
        if (role != core::MemberRole::Image) {
            nb::object text = decode(data);
            data.reset();   // the bytes go before the text is copied into its stream
            text_slot(role, yaml, json, pmml) = text_stream(text);
            return false;
        }
        // Over the member's bytes and at their end, as if they had been written.
        nb::object image = call(S.BytesIO, {data.ptr()});
        seek_to_end(image);
        const std::size_t start = core::zip_image_key_start(bytes);
        nb::object key = start == 0 ? nb::borrow(name)
                                    : check(PyUnicode_DecodeUTF8(bytes.data() + start,
                                                                 static_cast<Py_ssize_t>(bytes.size() - start),
                                                                 "surrogatepass"));
        if (PyObject_SetItem(images.ptr(), key.ptr(), image.ptr()) < 0) throw_error();
        return false;
    });
    return new_content(yaml, json, pmml, images);
}

// ------------------------------------------------------------ declaration

nb::object text(const char *s) { return check(PyUnicode_FromString(s)); }
template <class... T>
nb::object kwnames(T... names) {
    return check(PyTuple_Pack(sizeof...(T), intern(names)...));
}

void declare(Module &m) {
    S.init(m);
    m.import_from("io", {"BytesIO", "StringIO"});
    m.import("os");
    m.import_from("pathlib", {"Path"});
    m.import("shutil");
    m.import("tarfile");
    m.import_from("typing", {"Dict", "Union", "Optional"});
    m.import_from("zipfile", {"ZipFile", "ZIP_DEFLATED"});

    nb::object os = m.get("os"), tarfile = m.get("tarfile");
    S.StringIO = m.get("StringIO");
    S.BytesIO = m.get("BytesIO");
    S.path_exists = os.attr("path").attr("exists");
    S.mkdir = os.attr("mkdir");
    S.listdir = os.attr("listdir");
    S.copyfileobj = m.get("shutil").attr("copyfileobj");
    S.tar_open = tarfile.attr("open");
    S.TarInfo = tarfile.attr("TarInfo");
    S.ZipFile = m.get("ZipFile");
    S.ZIP_DEFLATED = m.get("ZIP_DEFLATED");
    S.open = nb::module_::import_("builtins").attr("open");
    nb::object os_path = os.attr("path");
    S.os_open = os.attr("open");
    S.os_close = os.attr("close");
    S.fstat = os.attr("fstat");
    S.lstat = os.attr("lstat");
    S.stat = os.attr("stat");
    S.fchmod = os.attr("fchmod");
    S.replace = os.attr("replace");
    S.unlink = os.attr("unlink");
    S.fsencode = os.attr("fsencode");
    S.realpath = os_path.attr("realpath");
    S.dirname = os_path.attr("dirname");
    S.path_join = os_path.attr("join");
    S.empty_bytes = check(PyBytes_FromStringAndSize(nullptr, 0));
    S.max_bytes_default = check(PyLong_FromUnsignedLongLong(core::ByteBudget::default_limit));
    S.default_images = check(PyDict_New());
    S.zero = nb::int_(0);
    S.seek_end = os.attr("SEEK_END");
    S.mode_w = text("w");
    S.mode_r = text("r");
    S.mode_wb = text("wb");
    S.mode_rb = text("rb");
    S.utf8 = text("utf-8");
    S.yaml_name = text("extended_model.yaml");
    S.json_name = text("external_model.json");
    S.pmml_name = text("external_model.pmml");
    S.kw_encoding = kwnames("encoding");
    S.kw_name = kwnames("name");
    S.kw_mode_fileobj = kwnames("mode", "fileobj");
    S.kw_tarinfo_fileobj = kwnames("tarinfo", "fileobj");
    S.kw_file_mode_compression = kwnames("file", "mode", "compression");
    S.kw_file_mode = kwnames("file", "mode");
    S.kw_content = kwnames("scorebundle_yaml", "external_model_json", "external_model_pmml", "attached_images");

    S.kw_mode_fileobj_max_bytes = kwnames("mode", "fileobj", "max_bytes");
    // The bounded tar reader and its stream: classes of this module's own,
    // kept out of its namespace.
    nb::handle type_type(reinterpret_cast<PyObject *>(&PyType_Type));
    nb::dict stream_ns;
    stream_ns["read"] = Function("read", stream_read).self().arg("size", nullptr, nb::int_(-1)).create(m.dotted(), "BoundedStream.read");
    stream_ns["seek"] = Function("seek", stream_seek)
                            .self()
                            .arg("offset")
                            .arg("whence", nullptr, S.zero)
                            .create(m.dotted(), "BoundedStream.seek");
    stream_ns["tell"] = Function("tell", stream_tell).self().create(m.dotted(), "BoundedStream.tell");
    stream_ns["seekable"] = Function("seekable", stream_seekable).self().create(m.dotted(), "BoundedStream.seekable");
    stream_ns["__module__"] = m.dotted();
    S.BoundedStream = type_type("BoundedStream", nb::make_tuple(nb::module_::import_("builtins").attr("object")), stream_ns);
    nb::object TarFile = tarfile.attr("TarFile");
    S.base_taropen = TarFile.attr("taropen").attr("__func__");
    nb::dict tar_ns;
    tar_ns["taropen"] = nb::module_::import_("builtins").attr("classmethod")(
        Function("taropen", bounded_taropen)
            .cls()
            .arg("name")
            .arg("mode", nullptr, S.mode_r)
            .arg("fileobj", nullptr, none())
            .kwargs("kwargs")
            .create(m.dotted(), "BoundedTarFile.taropen"));
    tar_ns["__module__"] = m.dotted();
    S.bounded_tar_open = type_type("BoundedTarFile", nb::make_tuple(TarFile), tar_ns).attr("open");

    const char *content = "'ExtendedPredictiveModelContent'";
    S.Content =
        m.cls("ExtendedPredictiveModelContent", {})
            .field("scorebundle_yaml", "StringIO")
            .field("external_model_json", "Optional[StringIO]", none())
            .field("external_model_pmml", "Optional[StringIO]", none())
            .field("attached_images", "Dict[str, BytesIO]")
            .method(Function("__init__", init)
                        .self()
                        .arg("scorebundle_yaml", "StringIO")
                        .arg("external_model_json", "Optional[StringIO]", none())
                        .arg("external_model_pmml", "Optional[StringIO]", none())
                        .arg("attached_images", "Dict[str, BytesIO]", S.default_images)
                        .returns("None"))
            .method(Function("save_to_directory", save_to_directory)
                        .self()
                        .arg("directory", "Path")
                        .arg("pmml_filename", "Optional[str]", none())
                        .returns("None"))
            .method(Function("save_to_tar", save_to_tar).self().returns("BytesIO"))
            .method(Function("save_to_zip", save_to_zip)
                        .self()
                        .arg("pmml_filename", "Optional[str]", none())
                        .returns("BytesIO"))
            .classmethod(
                Function("load_from_directory", load_from_directory).cls().arg("directory", "Path").returns(content))
            .classmethod(Function("load_from_tar", load_from_tar)
                             .cls()
                             .arg("tar_content", "BytesIO")
                             .kwonly("max_bytes", "int", S.max_bytes_default)
                             .returns(content))
            .classmethod(Function("load_from_zip", load_from_zip)
                             .cls()
                             .arg("zip_content", "BytesIO")
                             .kwonly("max_bytes", "int", S.max_bytes_default)
                             .returns(content))
            .create();
}

}  // namespace

KELVANE_MODULE(content, "kelvane_analytics_utils.predictive_models.content", declare)
