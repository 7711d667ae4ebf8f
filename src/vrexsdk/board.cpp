// vrexsdk.board: __Board, reached as an attribute of vrexsdk.vrex.Device. Board power of the device.
#include "support/module.hpp"

namespace {

PyMethodDef methods[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

vrex::ServiceSpec<vrex::ServiceObject> spec("vrexsdk.board.__Board", VREX_SERVICE_DOC("Board object."), methods);

int exec_board(PyObject* module) {
    if (!vrex::first_initialisation("board")) return -1;
    if (!vrex::publish_type(module, spec.spec)) return -1;
    if (!vrex::import_siblings(module)) return -1;
    return 0;
}

}  // namespace

VREX_MODULE(board, "Board power of the device.", exec_board)
