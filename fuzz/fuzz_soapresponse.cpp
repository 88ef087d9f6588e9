// The SOAP response reader on any bytes a server could send: the first byte picks the operation
// (every code of the catalogue, unassigned ones included), the rest is the answer.
#include "exsoapcall.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const CrmOp op = static_cast<CrmOp>(data[0] % 64);
    const QByteArray response(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    ExSoapCall call;
    call.feedResponse(response);
    (void)call.parseResponse(op);
    // A second read on the same call, as the e-mail importer does for its id lists.
    (void)call.parseResponse(op);
    return 0;
}
