// vrexsdk.board: __Board, reached as an attribute of vrexsdk.vrex.Device. Board power of the device: listing the
// boards, switching them on and off and asking whether they are powered. The power state lives in the device;
// the module keeps none and enforces no order between the calls.
#include "support/calls.hpp"
#include "support/derive.hpp"

namespace {

using vrex::Ref;
using vrex::ServiceObject;
using vrex::sdk;

// A failing count is reported through errors._throwVrexError(status, "getBoardCount"), looked up when it is
// needed so that a replaced reporter is the one called, instead of through the context's last error. The
// reporter is relied on to raise; should it return, the count goes back as the SDK left it (preset to 0).
PyObject* getCount(ServiceObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    int count = 0;
    const int status = vrex::nogil([&] { return vrex_board_count(ctx, &count); });
    if (status < 0) {
        PyObject* const name = vrex::interned<"_throwVrexError">();
        PyObject* const operation = vrex::interned<"getBoardCount">();
        if (name == nullptr || operation == nullptr) return nullptr;
        const Ref errors = vrex::global<"errors">();
        if (!errors) return nullptr;
        const Ref reporter = Ref::steal(PyObject_GetAttr(errors.get(), name));
        if (!reporter) return nullptr;
        const Ref code = Ref::steal(PyLong_FromLong(status));
        if (!code) return nullptr;
        PyObject* const args[] = {code.get(), operation};
        if (!Ref::steal(PyObject_Vectorcall(reporter.get(), args, 2, nullptr))) return nullptr;
    }
    return PyLong_FromLong(count);
}

#define VREX_QUALIFIER "vrexsdk.board.__Board"

PyMethodDef board_methods[] = {
    VREX_IDENTIFIER_LIST("getBoardIds",
                         "Retrieves board identifiers.\n\n"
                         "        Returns:\n"
                         "            A list of str objects representing board identifiers.\n        ",
                         "__getCount", getCount, "__getId", (sdk<vrex_board_id>), "boardIdx"),
    VREX_METHOD("powerOn", (sdk<vrex_board_power_on>),
                "Powers the board on.\n\n"
                "        Args:\n"
                "            boardId (str): Board identifier.\n        ",
                "boardId"),
    VREX_METHOD("powerOff", (sdk<vrex_board_power_off>),
                "Powers the board off. Cannot be called before corresponding :func:`~powerOn`.\n\n"
                "        Args:\n"
                "            boardId (str): Board identifier.\n        ",
                "boardId"),
    VREX_METHOD("isPowered", (sdk<vrex_board_is_powered, vrex::AsBool>),
                "Checks whether the board is powered.\n\n"
                "        Args:\n"
                "            boardId (str): Board identifier.\n\n"
                "        Returns:\n"
                "            A bool value. True if the specified board is powered, False otherwise.\n        ",
                "boardId"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Board object."));

}  // namespace

VREX_SERVICE_MODULE(board, "Board power of the device.",
                    .spec = &spec.spec, .methods = board_methods)
