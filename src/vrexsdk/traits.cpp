// vrexsdk.traits: __Traits, reached as vrexsdk.vrex.Device.props. Identity and USB properties of the open device;
// every method is one SDK query.
#include "support/derive.hpp"

namespace {

using vrex::ServiceObject;

template <auto Sdk, class Result = vrex::Natural>
constexpr auto sdk = vrex::method<ServiceObject, Sdk, Result>;

#define QUALNAME(name) "vrexsdk.traits.__Traits." name
#define STRING_PROPERTY(name, sdk_function, summary, returns) \
    VREX_METHOD(name, QUALNAME(name), (sdk<sdk_function>),    \
                summary "\n\n"                                \
                        "        Returns:\n"                  \
                        "            " returns "\n        ")

PyMethodDef traits_methods[] = {
    STRING_PROPERTY("getManufacturer", vrex_dev_prop_get_manufacturer, "Retrieves the manufacturer of the device.",
                    "A str value representing the manufacturer of the device."),
    STRING_PROPERTY("getProduct", vrex_dev_prop_get_product, "Retrieves the product name of the device.",
                    "A str value representing the product name of the device."),
    STRING_PROPERTY("getSerialNumber", vrex_dev_prop_get_serial_number, "Retrieves the serial number of the device.",
                    "A str value representing the serial number of the device."),
    STRING_PROPERTY("getConnectionString", vrex_dev_prop_get_connection_string,
                    "Retrieves the connection string (locator) of the device.",
                    "A str value representing the connection string (locator) of the device."),
    VREX_METHOD("getUsbVidPid", QUALNAME("getUsbVidPid"), (sdk<vrex_dev_prop_usb_get_vid_pid, vrex::Record<"VidPid">>),
                "Retrieves the vendor id and product id of the device.\n\n"
                "        Returns:\n"
                "            A :obj:`~VidPid` object which contains vendor and product id of the device.\n        "),
    STRING_PROPERTY("getUsbInstancePath", vrex_dev_prop_usb_get_instance_path,
                    "Retrieves the instance path of the device.",
                    "A str value representing the instance path of the device."),
    VREX_METHOD("isUsbHighSpeed", QUALNAME("isUsbHighSpeed"), (sdk<vrex_dev_prop_usb_is_high_speed, vrex::AsBool>),
                "Checks whether the device is high speed.\n\n"
                "        Returns:\n"
                "            A bool value. True if the device is high speed, False otherwise.\n        "),
    VREX_METHOD("isUsbSuperSpeed", QUALNAME("isUsbSuperSpeed"), (sdk<vrex_dev_prop_usb_is_super_speed, vrex::AsBool>),
                "Checks whether the device is super speed.\n\n"
                "        Returns:\n"
                "            A bool value. True if the device is super speed, False otherwise.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef STRING_PROPERTY
#undef QUALNAME

PyMethodDef no_methods[] = {VREX_METHODS_END};
vrex::ServiceSpec<ServiceObject> spec("vrexsdk.traits.__Traits", VREX_SERVICE_DOC("Traits object."), no_methods);

constexpr const char records_source[] = R"PY(
class VidPid(NamedTuple):
    """
    Contains vendor id and product id of the USB device.

    Args:
        vendorId (int): Vendor id of the USB device.
        productId (int): Product id of the USB device.
    """
    vendorId: "int"
    productId: "int"
)PY";

int exec_traits(PyObject* module) {
    if (!vrex::first_initialisation("traits")) return -1;
    PyTypeObject* const type = vrex::publish_type(module, spec.spec);
    if (type == nullptr) return -1;
    if (!vrex::import_siblings(module)) return -1;
    if (!vrex::bind_import(module, "NamedTuple", "typing", "NamedTuple")) return -1;
    if (!vrex::run_in_module(module, records_source)) return -1;
    return vrex::install_methods(type, traits_methods) ? 0 : -1;
}

}  // namespace

VREX_MODULE(traits, "Identity and USB properties of the open device.", exec_traits)
