// vrexsdk.traits: __Traits, reached as vrexsdk.vrex.Device.props. Identity and USB properties of the open device;
// every method is one SDK query.
#include "support/derive.hpp"

namespace {

using vrex::ServiceObject;
using vrex::sdk;

#define VREX_QUALIFIER "vrexsdk.traits.__Traits"
#define STRING_PROPERTY(name, sdk_function, summary, returns) \
    VREX_METHOD(name, (sdk<sdk_function>),    \
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
    VREX_METHOD("getUsbVidPid", (sdk<vrex_dev_prop_usb_get_vid_pid, vrex::Record<"VidPid">>),
                "Retrieves the vendor id and product id of the device.\n\n"
                "        Returns:\n"
                "            A :obj:`~VidPid` object which contains vendor and product id of the device.\n        "),
    STRING_PROPERTY("getUsbInstancePath", vrex_dev_prop_usb_get_instance_path,
                    "Retrieves the instance path of the device.",
                    "A str value representing the instance path of the device."),
    VREX_METHOD("isUsbHighSpeed", (sdk<vrex_dev_prop_usb_is_high_speed, vrex::AsBool>),
                "Checks whether the device is high speed.\n\n"
                "        Returns:\n"
                "            A bool value. True if the device is high speed, False otherwise.\n        "),
    VREX_METHOD("isUsbSuperSpeed", (sdk<vrex_dev_prop_usb_is_super_speed, vrex::AsBool>),
                "Checks whether the device is super speed.\n\n"
                "        Returns:\n"
                "            A bool value. True if the device is super speed, False otherwise.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef STRING_PROPERTY
vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Traits object."));

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

}  // namespace

VREX_SERVICE_MODULE(traits, "Identity and USB properties of the open device.",
                    .spec = &spec.spec, .methods = traits_methods,
                    .bindings = {{"NamedTuple", "typing", "NamedTuple"}}, .records = records_source)
