// vrexsdk.configuration: __Configuration, reached as an attribute of vrexsdk.vrex.Device. Configuration loading and
// the pixel mask.
//
// The mask is one byte per pixel. The SDK keeps it as width x height bytes; Python sees a C-contiguous uint8 array
// of shape (width, height) whose element [i, j] is SDK byte i * height + j, so each run of `height` bytes is one
// column i. It moves in one piece: getMask allocates one array that the SDK fills and returns a reshaped view of
// it; setMask hands the SDK the flattened copy it was given.
#include "support/buffers.hpp"
#include "support/calls.hpp"
#include "support/derive.hpp"

#include <numpy/arrayobject.h>

#include <string>

namespace {

using vrex::Ref;
using vrex::ServiceObject;
using vrex::sdk;

template <vrex::fixed_string Name>
Ref attribute(PyObject* o) {
    PyObject* const name = vrex::interned<Name>();
    return name ? Ref::steal(PyObject_GetAttr(o, name)) : Ref();
}

// record.width * record.height with Python integers, so no C product can overflow.
Ref pixel_count(PyObject* size) {
    const Ref width = attribute<"width">(size);
    if (!width) return Ref();
    const Ref height = attribute<"height">(size);
    if (!height) return Ref();
    return Ref::steal(PyNumber_Multiply(width.get(), height.get()));
}

// The two size disagreements raise VrexSdkInternalException with a message whose continuation (a backslash, a line
// feed and sixteen spaces) users' code already matches.
void raise_size_mismatch(const char* first, PyObject* found, const char* second, PyObject* expected) {
    const Ref message = Ref::steal(PyUnicode_FromFormat("%s (== %S) != \\\n                %s (== %S)", first, found,
                                                        second, expected));
    if (!message) return;
    PyErr_SetObject(vrex::error_classes().internal, message.get());
}

PyObject* getMaskSize(ServiceObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    pixel_mask_size size{};
    const int status = vrex::nogil([&] { return vrex_get_pixel_mask_size(ctx, &size); });
    if (!vrex::check(status, ctx)) return nullptr;
    const Ref cls = vrex::global<"PixelMaskDimensions">();
    if (!cls) return nullptr;
    const Ref width = Ref::steal(PyLong_FromSize_t(size.width));
    if (!width) return nullptr;
    const Ref height = Ref::steal(PyLong_FromSize_t(size.height));
    if (!height) return nullptr;
    PyObject* const argv[] = {width.get(), height.get()};
    return PyObject_Vectorcall(cls.get(), argv, 2, nullptr);
}

PyObject* getMask(ServiceObject* self) {
    const Ref size = vrex::call_method<"getMaskSize">(&self->ob_base);
    if (!size) return nullptr;
    const Ref expected = pixel_count(size.get());
    if (!expected) return nullptr;
    // np.zeros((expected,), dtype=np.uint8, order="C"), every name looked up now.
    const Ref np = vrex::global<"np">();
    if (!np) return nullptr;
    const Ref zeros = attribute<"zeros">(np.get());
    if (!zeros) return nullptr;
    const Ref uint8 = attribute<"uint8">(np.get());
    if (!uint8) return nullptr;
    const Ref shape = Ref::steal(PyTuple_Pack(1, expected.get()));
    if (!shape) return nullptr;
    const Ref order = Ref::steal(PyUnicode_FromString("C"));
    const Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "dtype", "order"));
    if (!order || !kwnames) return nullptr;
    PyObject* const argv[] = {shape.get(), uint8.get(), order.get()};
    const Ref array = Ref::steal(PyObject_Vectorcall(zeros.get(), argv, 1, kwnames.get()));
    if (!array) return nullptr;
    Ref retrieved_length;
    {
        vrex::ByteView view;
        if (!view.take(array.get())) return nullptr;
        std::uint8_t* const first = view.first();
        if (first == nullptr) return nullptr;
        vrex_ctx_t* const ctx = vrex::handle_of(self->context);
        if (ctx == nullptr) return nullptr;
        // The SDK writes at most data_len bytes: the view's own length, whatever the mask size said.
        pixel_mask mask{first, static_cast<size_t>(view.size())};
        size_t retrieved = 0;
        const int status = vrex::nogil([&] { return vrex_get_pixel_mask(ctx, &mask, &retrieved); });
        if (!vrex::check(status, ctx)) return nullptr;
        retrieved_length = Ref::steal(PyLong_FromSize_t(retrieved));
        if (!retrieved_length) return nullptr;
    }
    const int same = PyObject_RichCompareBool(retrieved_length.get(), expected.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) {
        raise_size_mismatch("Pixel mask real size", retrieved_length.get(), "expected size", expected.get());
        return nullptr;
    }
    const Ref width = attribute<"width">(size.get());
    if (!width) return nullptr;
    const Ref height = attribute<"height">(size.get());
    if (!height) return nullptr;
    const Ref dims = Ref::steal(PyTuple_Pack(2, width.get(), height.get()));
    if (!dims) return nullptr;
    PyObject* const name = vrex::interned<"reshape">();
    if (name == nullptr) return nullptr;
    return PyObject_CallMethodOneArg(array.get(), name, dims.get());
}

PyObject* setMask(ServiceObject* self, PyObject* mask) {
    const Ref flat = vrex::call_method<"flatten">(mask);
    if (!flat) return nullptr;
    vrex::ByteView view;
    if (!view.take(flat.get())) return nullptr;
    const Ref size = vrex::call_method<"getMaskSize">(&self->ob_base);
    if (!size) return nullptr;
    const Ref expected = pixel_count(size.get());
    if (!expected) return nullptr;
    const Ref provided = Ref::steal(PyLong_FromSsize_t(view.size()));
    if (!provided) return nullptr;
    const int same = PyObject_RichCompareBool(provided.get(), expected.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) {
        // The message shows width x height read again from the record, as getMask's does.
        const Ref again = pixel_count(size.get());
        if (!again) return nullptr;
        raise_size_mismatch("Provided mask size", provided.get(), "expected mask size", again.get());
        return nullptr;
    }
    std::uint8_t* const first = view.first();
    if (first == nullptr) return nullptr;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    // The view keeps `flat` exported while the SDK reads it without the GIL.
    const pixel_mask block{first, static_cast<size_t>(view.size())};
    const int status = vrex::nogil([&] { return vrex_set_pixel_mask(ctx, &block); });
    if (!vrex::check(status, ctx)) return nullptr;
    Py_RETURN_NONE;
}

#define VREX_QUALIFIER "vrexsdk.configuration.__Configuration"

PyMethodDef configuration_methods[] = {
    VREX_METHOD("load", (sdk<vrex_load_configuration, vrex::Natural, vrex::Utf8Text>),
                "Loads configuration.\n\n"
                "        Args:\n"
                "            configType (str): Type of configuration, for example \"xml\" or \"yml\".\n"
                "            content (str): Content of configuration represented as str.\n        ",
                "configType", "content"),
    VREX_METHOD("getMaskSize", getMaskSize,
                "Retrieves dimensions (width, height) of pixel mask.\n\n"
                "        Returns:\n"
                "            A :obj:`~PixelMaskDimensions` object\n        "),
    VREX_METHOD("getMask", getMask,
                "Retrieves current pixel mask.\n\n"
                "        Returns:\n"
                "            2D numpy array of uint8.\n"
                "            Each uint8 element represents a mask of a single pixel.\n"
                "            0 means the pixel is unmasked, non-zero implies pixel is masked.\n"
                "            The array is stored in column-major order.\n        "),
    VREX_METHOD("setMask", setMask,
                "Sets pixel mask.\n\n"
                "        Args:\n"
                "            mask (ArrayLike): 2D numpy array of uint8.\n"
                "                Each uint8 element represents a mask of a single pixel.\n"
                "                0 means the pixel is unmasked, non-zero implies pixel is masked.\n"
                "                The array is expected to be in column-major order.\n        ",
                "mask"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Configuration object."));

constexpr const char records_source[] = R"PY(
class PixelMaskDimensions(NamedTuple):
    """
    Contains dimensions of pixel mask.

    Args:
        width (int): Width of the pixel mask.
        height (int): Height of the pixel mask.
    """
    width: "int"
    height: "int"
)PY";

// setMask is annotated as returning the string "None", as a function in the module would be. A method
// descriptor carries no annotations, so the type's setMask is a function around the native method, which still
// does all the work and names the traceback entry of its errors.
constexpr const char annotated_source[] = R"PY(
def _annotated(native):
    def setMask(self, mask) -> "None":
        return native(self, mask)
    setMask.__qualname__ = native.__qualname__
    setMask.__doc__ = native.__doc__
    return setMask


__Configuration.setMask = _annotated(__Configuration.setMask)
del _annotated
)PY";

bool annotate(PyObject* module, PyTypeObject*) { return vrex::run_in_module(module, annotated_source); }

}  // namespace

VREX_SERVICE_MODULE(configuration, "Configuration loading and the pixel mask.",
                    .spec = &spec.spec, .methods = configuration_methods,
                    .bindings = {{"NamedTuple", "typing", "NamedTuple"}, {"np", "numpy"}},
                    .import_numpy = PyArray_ImportNumPyAPI, .records = records_source, .finish = annotate)
