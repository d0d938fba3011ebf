// kelvane_analytics_utils.predictive_models.content
//
// The file set of a bundle held in memory, one stream per file, and its three
// storages: a directory, and a zip or a tar archive built in memory. The
// standard library (open, shutil, os, zipfile, tarfile) does every file and
// archive operation; this module decides the names, the order, which stored
// name feeds which stream (core/file_set) and where each stream is left.
#include "core/file_set.hpp"
#include "frame/frame.hpp"

namespace {

using namespace kelvane;

// Objects of the namespace and of the library, kept from declaration on
// (strong references that live as long as the process).
struct Library {
    PyObject *StringIO, *BytesIO, *path_exists, *mkdir, *listdir, *copyfileobj, *tar_open, *TarInfo, *ZipFile,
        *ZIP_DEFLATED, *open, *Content;
    PyObject *default_images;   // the empty mapping the signature shows; never stored
    PyObject *zero, *seek_end, *mode_w, *mode_r, *mode_wb, *mode_rb, *utf8;
    PyObject *yaml_name, *json_name, *pmml_name;
    // Keyword names of the calls made with keywords.
    PyObject *kw_encoding, *kw_name, *kw_mode_fileobj, *kw_tarinfo_fileobj, *kw_file_mode_compression, *kw_file_mode,
        *kw_content;
} lib;

struct Names {
    PyObject *seek, *read, *write, *tell, *getvalue, *close, *encode, *decode, *size, *path, *addfile, *writestr,
        *getmembers, *extractfile, *namelist, *scorebundle_yaml, *external_model_json, *external_model_pmml,
        *attached_images;
} names;

// ------------------------------------------------------------ stream steps

nb::object call(PyObject *callable, std::initializer_list<PyObject *> args, PyObject *kwnames = nullptr) {
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return check(PyObject_Vectorcall(callable, std::data(args), args.size() - nkw, kwnames));
}

nb::object method(PyObject *obj, PyObject *name) { return check(PyObject_CallMethodNoArgs(obj, name)); }
nb::object method(PyObject *obj, PyObject *name, PyObject *arg) {
    return check(PyObject_CallMethodOneArg(obj, name, arg));
}

void rewind(PyObject *stream) { method(stream, names.seek, lib.zero); }
void seek_to_end(PyObject *stream) {
    PyObject *args[] = {stream, lib.zero, lib.seek_end};
    check(PyObject_VectorcallMethod(names.seek, args, 3, nullptr));
}

// A new StringIO holding `text`, at position 0. Filled by a write rather than
// built over the text: the stream then keeps the text compactly until it is
// changed, instead of as four bytes per character.
nb::object text_stream(PyObject *text) {
    nb::object stream = check(PyObject_CallNoArgs(lib.StringIO));
    method(stream.ptr(), names.write, text);
    rewind(stream.ptr());
    return stream;
}

// bytes.decode(): UTF-8, strict.
nb::object decode(PyObject *data) {
    if (PyBytes_CheckExact(data))
        return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), "strict"));
    return method(data, names.decode);
}

// str.encode(): UTF-8, strict.
nb::object encode(PyObject *text) {
    if (PyUnicode_CheckExact(text)) return check(PyUnicode_AsUTF8String(text));
    return method(text, names.encode);
}

// Runs `body`, then closes `resource` also when the body fails, as a `with`
// block over it would (an error of the closing replaces the body's, which
// becomes its context).
template <class Body>
void closing(PyObject *resource, Body body) {
    try {
        body();
    } catch (error_already_set &) {
    } catch (nb::python_error &e) {
        e.restore();
    }
    PyObject *failure = PyErr_GetRaisedException();
    PyObject *closed = PyObject_CallMethodNoArgs(resource, names.close);
    if (!closed) {
        if (failure) {
            PyObject *late = PyErr_GetRaisedException();
            PyException_SetContext(late, failure);   // steals `failure`
            PyErr_SetRaisedException(late);
        }
        throw_error();
    }
    Py_DECREF(closed);
    if (failure) {
        PyErr_SetRaisedException(failure);
        throw_error();
    }
}

// The bytes the naming rules read from a stored name. `hold` keeps them
// alive; for a str they are the string's own UTF-8 buffer, which lives as long
// as the string. Names from tar headers and directory listings may carry lone
// surrogates (bytes that did not decode): those are encoded as they stand,
// which leaves every ASCII character, and so every rule, in place.
std::string_view name_bytes(PyObject *name, nb::object &hold) {
    if (PyUnicode_Check(name)) {
        Py_ssize_t size;
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size)) return {utf8, static_cast<std::size_t>(size)};
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
        PyErr_Clear();
        hold = check(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    } else if (PyBytes_Check(name)) {
        hold = nb::borrow(name);
    } else {
        raise_result_type("str", name);
        throw_error();
    }
    return {PyBytes_AS_STRING(hold.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(hold.ptr()))};
}

nb::object field(PyObject *self, PyObject *name) { return check(PyObject_GetAttr(self, name)); }

// The keys of the image mapping, in its order.
nb::object image_keys(PyObject *images) { return check(PySequence_List(images)); }

// ExtendedPredictiveModelContent(scorebundle_yaml=..., ...): always this class.
nb::object new_content(PyObject *yaml, PyObject *json, PyObject *pmml, PyObject *images) {
    if (!yaml) {
        PyErr_SetString(PyExc_UnboundLocalError,
                        "the archive holds no member \"extended_model.yaml\" (local variable 'scorebundle_yaml' "
                        "referenced before assignment)");
        throw_error();
    }
    return call(lib.Content, {yaml, json, pmml, images}, lib.kw_content);
}

// ------------------------------------------------------------ __init__

nb::object init(Args a) {
    PyObject *self = a.get(0);
    // Built without the argument, each content gets a mapping of its own.
    nb::object images = a.get(4) == lib.default_images ? check(PyDict_New()) : nb::borrow(a.get(4));
    if (PyObject_SetAttr(self, names.scorebundle_yaml, a.get(1)) < 0 ||
        PyObject_SetAttr(self, names.external_model_json, a.get(2)) < 0 ||
        PyObject_SetAttr(self, names.external_model_pmml, a.get(3)) < 0 ||
        PyObject_SetAttr(self, names.attached_images, images.ptr()) < 0)
        throw_error();
    return none();
}

// ------------------------------------------------------------ directory

// Refuses an image key that would be written outside the directory. Keys that
// are not paths at all are left to the path join, which refuses them itself.
void refuse_leaving_key(PyObject *key) {
    nb::object path = nb::borrow(key);
    if (!PyUnicode_Check(key)) {
        path = nb::steal(PyOS_FSPath(key));
        if (!path.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
            PyErr_Clear();
            return;
        }
        if (!PyUnicode_Check(path.ptr())) return;
    }
    nb::object hold;
    if (core::key_leaves_directory(name_bytes(path.ptr(), hold))) {
        PyErr_Format(PyExc_ValueError, "Image key %R would be written outside the directory", key);
        throw_error();
    }
}

nb::object join(PyObject *directory, PyObject *name) { return check(PyNumber_TrueDivide(directory, name)); }

// Copies a stream into a new file opened in `mode` ("w" as UTF-8, or "wb").
void write_file(PyObject *path, PyObject *stream, bool text) {
    nb::object file = text ? call(lib.open, {path, lib.mode_w, lib.utf8}, lib.kw_encoding)
                           : call(lib.open, {path, lib.mode_wb});
    closing(file.ptr(), [&] {
        rewind(stream);
        call(lib.copyfileobj, {stream, file.ptr()});
    });
}

// Copies a whole file ("r" as UTF-8, or "rb") into `stream`.
void read_file(PyObject *path, PyObject *stream, bool text) {
    nb::object file = text ? call(lib.open, {path, lib.mode_r, lib.utf8}, lib.kw_encoding)
                           : call(lib.open, {path, lib.mode_rb});
    closing(file.ptr(), [&] {
        rewind(file.ptr());
        call(lib.copyfileobj, {file.ptr(), stream});
    });
}

nb::object save_to_directory(Args a) {
    PyObject *self = a.get(0), *directory = a.get(1), *pmml_filename = a.get(2);
    nb::object yaml = field(self, names.scorebundle_yaml), json = field(self, names.external_model_json),
               pmml = field(self, names.external_model_pmml), images = field(self, names.attached_images);
    nb::object keys = image_keys(images.ptr());
    const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) refuse_leaving_key(PyList_GET_ITEM(keys.ptr(), i));

    nb::object exists = call(lib.path_exists, {directory});
    int there = PyObject_IsTrue(exists.ptr());
    if (there < 0) throw_error();
    if (!there) call(lib.mkdir, {directory});

    write_file(join(directory, lib.yaml_name).ptr(), yaml.ptr(), true);
    if (!json.is_none()) write_file(join(directory, lib.json_name).ptr(), json.ptr(), true);
    if (!pmml.is_none()) {
        int given = PyObject_IsTrue(pmml_filename);
        if (given < 0) throw_error();
        write_file(join(directory, given ? pmml_filename : lib.pmml_name).ptr(), pmml.ptr(), true);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key = PyList_GET_ITEM(keys.ptr(), i);   // borrowed: `keys` holds it
        nb::object image = check(PyObject_GetItem(images.ptr(), key));
        write_file(join(directory, key).ptr(), image.ptr(), false);
    }
    return none();
}

nb::object load_from_directory(Args a) {
    PyObject *directory = a.get(1);
    nb::object yaml = check(PyObject_CallNoArgs(lib.StringIO)), json = none(), pmml = none();
    nb::object listing = call(lib.listdir, {directory});
    nb::object first_pmml;
    const Py_ssize_t n = PySequence_Size(listing.ptr());
    if (n < 0) throw_error();
    for (Py_ssize_t i = 0; i < n && !first_pmml.is_valid(); ++i) {
        nb::object name = check(PySequence_GetItem(listing.ptr(), i)), hold;
        if (core::is_directory_pmml(name_bytes(name.ptr(), hold))) first_pmml = name;
    }

    read_file(join(directory, lib.yaml_name).ptr(), yaml.ptr(), true);
    int has_json = PySequence_Contains(listing.ptr(), lib.json_name);
    if (has_json < 0) throw_error();
    if (has_json) {
        json = check(PyObject_CallNoArgs(lib.StringIO));
        read_file(join(directory, lib.json_name).ptr(), json.ptr(), true);
    }
    if (first_pmml.is_valid()) {
        pmml = check(PyObject_CallNoArgs(lib.StringIO));
        read_file(join(directory, first_pmml.ptr()).ptr(), pmml.ptr(), true);
    }

    // The directory is listed again: files may have come or gone meanwhile.
    nb::object images = check(PyDict_New());
    nb::object again = check(PyObject_GetIter(call(lib.listdir, {directory}).ptr()));
    while (PyObject *item = PyIter_Next(again.ptr())) {
        nb::object name = nb::steal(item), hold;
        if (!core::is_directory_image(name_bytes(name.ptr(), hold))) continue;
        nb::object image = check(PyObject_CallNoArgs(lib.BytesIO));
        read_file(join(directory, name.ptr()).ptr(), image.ptr(), false);
        if (PyObject_SetItem(images.ptr(), name.ptr(), image.ptr()) < 0) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return new_content(yaml.ptr(), json.ptr(), pmml.ptr(), images.ptr());
}

// ------------------------------------------------------------ tar

// Member names must be exactly str (image keys are the caller's).
void require_name(PyObject *name) {
    if (!PyUnicode_CheckExact(name)) {
        raise_result_type("str", name);
        throw_error();
    }
}

int is_text_stream(PyObject *buffer) {
    int r = PyObject_IsInstance(buffer, lib.StringIO);
    if (r < 0) throw_error();
    return r;
}

// One stream as one regular member whose header carries only its name and size.
void add_tar_member(PyObject *archive, PyObject *buffer, PyObject *name) {
    require_name(name);
    nb::object data = nb::borrow(buffer);
    if (is_text_stream(buffer)) {
        rewind(buffer);
        nb::object text = method(buffer, names.read);
        nb::object encoded = encode(text.ptr());
        data = call(lib.BytesIO, {encoded.ptr()});
    }
    nb::object info = call(lib.TarInfo, {name}, lib.kw_name);
    seek_to_end(data.ptr());
    nb::object size = method(data.ptr(), names.tell);
    if (PyObject_SetAttr(info.ptr(), names.size, size.ptr()) < 0) throw_error();
    rewind(data.ptr());
    PyObject *args[] = {archive, info.ptr(), data.ptr()};
    check(PyObject_VectorcallMethod(names.addfile, args, 1, lib.kw_tarinfo_fileobj));
}

nb::object save_to_tar(Args a) {
    PyObject *self = a.get(0);
    nb::object yaml = field(self, names.scorebundle_yaml), json = field(self, names.external_model_json),
               pmml = field(self, names.external_model_pmml), images = field(self, names.attached_images);
    nb::object out = check(PyObject_CallNoArgs(lib.BytesIO));
    nb::object tar = call(lib.tar_open, {lib.mode_w, out.ptr()}, lib.kw_mode_fileobj);
    add_tar_member(tar.ptr(), yaml.ptr(), lib.yaml_name);
    if (!json.is_none()) add_tar_member(tar.ptr(), json.ptr(), lib.json_name);
    if (!pmml.is_none()) add_tar_member(tar.ptr(), pmml.ptr(), lib.pmml_name);
    nb::object keys = image_keys(images.ptr());
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.ptr()); i < n; ++i) {
        PyObject *key = PyList_GET_ITEM(keys.ptr(), i);   // borrowed: `keys` holds it
        nb::object image = check(PyObject_GetItem(images.ptr(), key));
        add_tar_member(tar.ptr(), image.ptr(), key);
    }
    method(tar.ptr(), names.close);
    return out;
}

nb::object load_from_tar(Args a) {
    PyObject *tar_content = a.get(1);
    rewind(tar_content);
    nb::object tar = call(lib.tar_open, {lib.mode_r, tar_content}, lib.kw_mode_fileobj);
    nb::object images = check(PyDict_New()), json = none(), pmml = none(), yaml;
    nb::object members = check(PyObject_GetIter(method(tar.ptr(), names.getmembers).ptr()));
    while (PyObject *item = PyIter_Next(members.ptr())) {
        nb::object member = nb::steal(item);
        nb::object file = method(tar.ptr(), names.extractfile, member.ptr());
        if (file.is_none()) continue;   // no file content (a folder, a device, ...)
        nb::object path = field(member.ptr(), names.path), hold;
        const core::MemberRole role = core::archive_member_role(name_bytes(path.ptr(), hold));
        if (role == core::MemberRole::Image) {
            nb::object image = check(PyObject_CallNoArgs(lib.BytesIO));
            rewind(file.ptr());
            call(lib.copyfileobj, {file.ptr(), image.ptr()});
            if (PyObject_SetItem(images.ptr(), path.ptr(), image.ptr()) < 0) throw_error();
            continue;
        }
        rewind(file.ptr());
        nb::object text = decode(method(file.ptr(), names.read).ptr());
        nb::object stream = text_stream(text.ptr());
        (role == core::MemberRole::Yaml ? yaml : role == core::MemberRole::Json ? json : pmml) = stream;
    }
    if (PyErr_Occurred()) throw_error();
    return new_content(yaml.ptr(), json.ptr(), pmml.ptr(), images.ptr());
}

// ------------------------------------------------------------ zip

// One stream as one member written by writestr with a plain name.
void add_zip_member(PyObject *archive, PyObject *buffer, PyObject *name) {
    require_name(name);
    nb::object data;
    if (is_text_stream(buffer)) {
        rewind(buffer);
        nb::object text = method(buffer, names.read);
        data = encode(text.ptr());   // the whole text: no stream needed around it
    } else {
        seek_to_end(buffer);
        rewind(buffer);
        data = method(buffer, names.getvalue);
    }
    PyObject *args[] = {archive, name, data.ptr()};
    check(PyObject_VectorcallMethod(names.writestr, args, 3, nullptr));
}

nb::object save_to_zip(Args a) {
    PyObject *self = a.get(0), *pmml_filename = a.get(1);
    nb::object yaml = field(self, names.scorebundle_yaml), json = field(self, names.external_model_json),
               pmml = field(self, names.external_model_pmml), images = field(self, names.attached_images);
    nb::object out = check(PyObject_CallNoArgs(lib.BytesIO));
    nb::object zf = call(lib.ZipFile, {out.ptr(), lib.mode_w, lib.ZIP_DEFLATED}, lib.kw_file_mode_compression);
    closing(zf.ptr(), [&] {
        add_zip_member(zf.ptr(), yaml.ptr(), lib.yaml_name);
        if (!json.is_none()) add_zip_member(zf.ptr(), json.ptr(), lib.json_name);
        if (!pmml.is_none()) {
            int given = PyObject_IsTrue(pmml_filename);
            if (given < 0) throw_error();
            add_zip_member(zf.ptr(), pmml.ptr(), given ? pmml_filename : lib.pmml_name);
        }
        nb::object keys = image_keys(images.ptr());
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.ptr()); i < n; ++i) {
            PyObject *key = PyList_GET_ITEM(keys.ptr(), i);   // borrowed: `keys` holds it
            nb::object image = check(PyObject_GetItem(images.ptr(), key));
            add_zip_member(zf.ptr(), image.ptr(), key);
        }
    });
    return out;
}

nb::object load_from_zip(Args a) {
    PyObject *zip_content = a.get(1);
    rewind(zip_content);
    nb::object zf = call(lib.ZipFile, {zip_content, lib.mode_r}, lib.kw_file_mode);
    nb::object images = check(PyDict_New()), json = none(), pmml = none(), yaml;
    nb::object members = check(PyObject_GetIter(method(zf.ptr(), names.namelist).ptr()));
    while (PyObject *item = PyIter_Next(members.ptr())) {
        nb::object name = nb::steal(item), hold;
        const std::string_view bytes = name_bytes(name.ptr(), hold);
        if (core::is_zip_folder_entry(bytes)) continue;
        nb::object data = method(zf.ptr(), names.read, name.ptr());
        const core::MemberRole role = core::archive_member_role(bytes);
        if (role == core::MemberRole::Image) {
            // Over the member's bytes and at its end, as if they had been written.
            nb::object image = call(lib.BytesIO, {data.ptr()});
            seek_to_end(image.ptr());
            const std::size_t start = core::zip_image_key_start(bytes);
            nb::object key = start == 0 ? name
                                        : check(PyUnicode_DecodeUTF8(bytes.data() + start,
                                                                     static_cast<Py_ssize_t>(bytes.size() - start),
                                                                     "surrogatepass"));
            if (PyObject_SetItem(images.ptr(), key.ptr(), image.ptr()) < 0) throw_error();
            continue;
        }
        nb::object text = decode(data.ptr());
        nb::object stream = text_stream(text.ptr());
        (role == core::MemberRole::Yaml ? yaml : role == core::MemberRole::Json ? json : pmml) = stream;
    }
    if (PyErr_Occurred()) throw_error();
    return new_content(yaml.ptr(), json.ptr(), pmml.ptr(), images.ptr());
}

// ------------------------------------------------------------ declaration

PyObject *keep(const nb::object &o) { return nb::object(o).release().ptr(); }
PyObject *text(const char *s) { return keep(check(PyUnicode_FromString(s))); }
template <class... T>
PyObject *kwnames(T... names) {
    return keep(check(PyTuple_Pack(sizeof...(T), intern(names)...)));
}

void declare(Module &m) {
    m.import_from("io", {"BytesIO", "StringIO"});
    m.import("os");
    m.import_from("pathlib", {"Path"});
    m.import("shutil");
    m.import("tarfile");
    m.import_from("typing", {"Dict", "Union", "Optional"});
    m.import_from("zipfile", {"ZipFile", "ZIP_DEFLATED"});

    nb::object os = m.get("os"), tarfile = m.get("tarfile");
    lib.StringIO = keep(m.get("StringIO"));
    lib.BytesIO = keep(m.get("BytesIO"));
    lib.path_exists = keep(os.attr("path").attr("exists"));
    lib.mkdir = keep(os.attr("mkdir"));
    lib.listdir = keep(os.attr("listdir"));
    lib.copyfileobj = keep(m.get("shutil").attr("copyfileobj"));
    lib.tar_open = keep(tarfile.attr("open"));
    lib.TarInfo = keep(tarfile.attr("TarInfo"));
    lib.ZipFile = keep(m.get("ZipFile"));
    lib.ZIP_DEFLATED = keep(m.get("ZIP_DEFLATED"));
    lib.open = keep(nb::module_::import_("builtins").attr("open"));
    lib.default_images = keep(check(PyDict_New()));
    lib.zero = keep(nb::int_(0));
    lib.seek_end = keep(os.attr("SEEK_END"));
    lib.mode_w = text("w");
    lib.mode_r = text("r");
    lib.mode_wb = text("wb");
    lib.mode_rb = text("rb");
    lib.utf8 = text("utf-8");
    lib.yaml_name = text("extended_model.yaml");
    lib.json_name = text("external_model.json");
    lib.pmml_name = text("external_model.pmml");
    lib.kw_encoding = kwnames("encoding");
    lib.kw_name = kwnames("name");
    lib.kw_mode_fileobj = kwnames("mode", "fileobj");
    lib.kw_tarinfo_fileobj = kwnames("tarinfo", "fileobj");
    lib.kw_file_mode_compression = kwnames("file", "mode", "compression");
    lib.kw_file_mode = kwnames("file", "mode");
    lib.kw_content = kwnames("scorebundle_yaml", "external_model_json", "external_model_pmml", "attached_images");
    names = Names{intern("seek"),          intern("read"),
                  intern("write"),         intern("tell"),
                  intern("getvalue"),      intern("close"),
                  intern("encode"),        intern("decode"),
                  intern("size"),          intern("path"),
                  intern("addfile"),       intern("writestr"),
                  intern("getmembers"),    intern("extractfile"),
                  intern("namelist"),      intern("scorebundle_yaml"),
                  intern("external_model_json"), intern("external_model_pmml"),
                  intern("attached_images")};

    const char *content = "'ExtendedPredictiveModelContent'";
    lib.Content = keep(
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
                        .arg("attached_images", "Dict[str, BytesIO]", lib.default_images)
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
            .classmethod(Function("load_from_directory", load_from_directory).cls().arg("directory", "Path").returns(content))
            .classmethod(Function("load_from_tar", load_from_tar).cls().arg("tar_content", "BytesIO").returns(content))
            .classmethod(Function("load_from_zip", load_from_zip).cls().arg("zip_content", "BytesIO").returns(content))
            .create());
}

}  // namespace

KELVANE_MODULE(content, "kelvane_analytics_utils.predictive_models.content", declare)
