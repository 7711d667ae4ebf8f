// vrexsdk.revisions: __Revisions, reached as an attribute of vrexsdk.vrex.Device. Versions of the device's
// hardware components, read as one dict from identifier to version.
#include "support/calls.hpp"
#include "support/derive.hpp"

namespace {

using vrex::Ref;
using vrex::ServiceObject;
using vrex::Text;

using vrex::sdk;

// One entry after another, in index order, the GIL taken back between the calls. A repeated identifier keeps
// the version of its later index; any failure discards the partial dict.
PyObject* get(ServiceObject* self) {
    const Ref count = vrex::call_method<"_Revisions__getCount">(&self->ob_base);
    if (!count) return nullptr;
    const Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Ref versions = Ref::steal(PyDict_New());
    if (!versions) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return nullptr;
        const Ref identifier = vrex::call_method<"_Revisions__getId">(&self->ob_base, index.get());
        if (!identifier) return nullptr;
        Text id;
        if (!id.from_encode_exact_bytes(identifier.get())) return nullptr;
        // Found afresh for each call: an identifier method of a subclass may have closed the device meanwhile.
        vrex_ctx_t* const ctx = vrex::handle_of(self->context);
        if (ctx == nullptr) return nullptr;
        const char* version = nullptr;  // a failure outside the status table leaves it unwritten: reads as ""
        const int status = vrex::nogil([&] { return vrex_revisions_string(ctx, id.c_str(), &version); });
        if (!vrex::check(status, ctx)) return nullptr;
        const Ref value = Ref::steal(vrex::decode_utf8(version));
        if (!value) return nullptr;
        const Ref key = Ref::steal(PyUnicode_DecodeUTF8(id.c_str(), id.size(), "strict"));
        if (!key || PyDict_SetItem(versions.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return versions.release();
}

#define VREX_QUALIFIER "vrexsdk.revisions.__Revisions"

PyMethodDef revisions_methods[] = {
    VREX_METHOD("__getCount", (sdk<vrex_revisions_count>), nullptr),
    VREX_METHOD("__getId", (sdk<vrex_revisions_id>), nullptr, "revisionsIdx"),
    VREX_METHOD("get", get,
                "Retrieves HW identifiers and their corresponding versions.\n\n"
                "        Returns:\n"
                "            A dictionary of str keys (identifiers) and str values (versions).\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Revisions object."));

}  // namespace

VREX_SERVICE_MODULE(revisions, "Versions of the device's hardware components.",
                    .spec = &spec.spec, .methods = revisions_methods)
