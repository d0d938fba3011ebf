// kelvane_analytics_utils.predictive_models.content
//
// The file set of a bundle held in memory, one stream per file, and its three
// storages: a directory, and a zip or a tar archive built in memory. The
// standard library (open, shutil, os, zipfile, tarfile) does every file and
// archive operation; this module decides the names, the order, which stored
// name feeds which stream (core/file_set) and where each stream is left.
#include "core/file_set.hpp"
#include "frame/host.hpp"
#include "frame/state.hpp"

namespace {

using namespace kelvane;

#define CONTENT_NAMES(X)                                                                                  \
    X(seek) X(read) X(write) X(tell) X(getvalue) X(close) X(encode) X(decode) X(size) X(path) X(addfile) X(writestr) \
        X(getmembers) X(extractfile) X(namelist) X(scorebundle_yaml) X(external_model_json) X(external_model_pmml)   \
            X(attached_images)

// Objects of the namespace and of the library, captured while declaring.
struct State : ModuleState {
    KELVANE_NAMES(CONTENT_NAMES)
    nb::object StringIO, BytesIO, path_exists, mkdir, listdir, copyfileobj, tar_open, TarInfo, ZipFile, ZIP_DEFLATED,
        open, Content;
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

// The whole content of a member's file object decoded as UTF-8; the bytes
// are released before the text is returned (the text is copied next).
nb::object read_text(nb::handle file) { return decode(call_method(S.str_read, file)); }

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

// Copies a whole stream into a new file: text written as UTF-8, or bytes.
void write_file(const nb::object &path, nb::handle stream, bool text) {
    nb::object file = text ? call(S.open, {path.ptr(), S.mode_w.ptr(), S.utf8.ptr()}, S.kw_encoding)
                           : call(S.open, {path.ptr(), S.mode_wb.ptr()});
    closing(file, [&] {
        rewind(stream);
        call(S.copyfileobj, {stream.ptr(), file.ptr()});
    });
}

// Copies a whole file into `stream`: text read as UTF-8, or bytes.
void read_file(const nb::object &path, nb::handle stream, bool text) {
    nb::object file = text ? call(S.open, {path.ptr(), S.mode_r.ptr(), S.utf8.ptr()}, S.kw_encoding)
                           : call(S.open, {path.ptr(), S.mode_rb.ptr()});
    closing(file, [&] {
        rewind(file);
        call(S.copyfileobj, {file.ptr(), stream.ptr()});
    });
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
    write_file(join(directory, S.yaml_name), f.yaml, true);
    if (!f.json.is_none()) write_file(join(directory, S.json_name), f.json, true);
    if (!f.pmml.is_none()) write_file(join(directory, pmml_name(a[2])), f.pmml, true);
    each_image(f.images, [&](nb::handle key, nb::handle image) { write_file(join(directory, key), image, false); });
    return none();
}

nb::object load_from_directory(Args a) {
    nb::handle directory = a[1];
    nb::object yaml = check(PyObject_CallNoArgs(S.StringIO.ptr())), json = none(), pmml = none();
    nb::object listing = call(S.listdir, {directory.ptr()});
    nb::object first_pmml;
    each(listing, [&](nb::handle name) {
        nb::object hold;
        if (core::is_directory_pmml(name_bytes(name, hold))) first_pmml = nb::borrow(name);
        return first_pmml.is_valid();
    });

    read_file(join(directory, S.yaml_name), yaml, true);
    const int has_json = PySequence_Contains(listing.ptr(), S.json_name.ptr());
    if (has_json < 0) throw_error();
    if (has_json) {
        json = check(PyObject_CallNoArgs(S.StringIO.ptr()));
        read_file(join(directory, S.json_name), json, true);
    }
    if (first_pmml.is_valid()) {
        pmml = check(PyObject_CallNoArgs(S.StringIO.ptr()));
        read_file(join(directory, first_pmml), pmml, true);
    }

    // The directory is listed again for the images.
    nb::object images = check(PyDict_New());
    each(call(S.listdir, {directory.ptr()}), [&](nb::handle name) {
        nb::object hold;
        if (!core::is_directory_image(name_bytes(name, hold))) return false;
        nb::object image = check(PyObject_CallNoArgs(S.BytesIO.ptr()));
        read_file(join(directory, name), image, false);
        if (PyObject_SetItem(images.ptr(), name.ptr(), image.ptr()) < 0) throw_error();
        return false;
    });
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
    rewind(tar_content);
    nb::object tar = call(S.tar_open, {S.mode_r.ptr(), tar_content.ptr()}, S.kw_mode_fileobj);
    nb::object images = check(PyDict_New()), json = none(), pmml = none(), yaml;
    each(call_method(S.str_getmembers, tar), [&](nb::handle member) {
        nb::object file = call_method(S.str_extractfile, tar, member);
        if (file.is_none()) return false;   // no file content: a folder, a device...
        nb::object path = check(PyObject_GetAttr(member.ptr(), S.str_path)), hold;
        const core::MemberRole role = core::archive_member_role(name_bytes(path, hold));
        rewind(file);
        if (role == core::MemberRole::Image) {
            nb::object image = check(PyObject_CallNoArgs(S.BytesIO.ptr()));
            call(S.copyfileobj, {file.ptr(), image.ptr()});
            if (PyObject_SetItem(images.ptr(), path.ptr(), image.ptr()) < 0) throw_error();
        } else {
            text_slot(role, yaml, json, pmml) = text_stream(read_text(file));
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
    rewind(zip_content);
    nb::object zf = call(S.ZipFile, {zip_content.ptr(), S.mode_r.ptr()}, S.kw_file_mode);
    nb::object images = check(PyDict_New()), json = none(), pmml = none(), yaml;
    each(call_method(S.str_namelist, zf), [&](nb::handle name) {
        nb::object hold;
        const std::string_view bytes = name_bytes(name, hold);
        if (core::is_zip_folder_entry(bytes)) return false;
        nb::object data = call_method(S.str_read, zf, name);
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
            .classmethod(Function("load_from_tar", load_from_tar).cls().arg("tar_content", "BytesIO").returns(content))
            .classmethod(Function("load_from_zip", load_from_zip).cls().arg("zip_content", "BytesIO").returns(content))
            .create();
}

}  // namespace

KELVANE_MODULE(content, "kelvane_analytics_utils.predictive_models.content", declare)
