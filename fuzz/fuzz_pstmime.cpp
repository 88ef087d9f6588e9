// The MIME converter over every message of a damaged .pst/.ost file (the input, as fuzz_pstwalk
// opens it), with the date repair the e-mail run applies to each source.
#include "mimeconverter.h"
#include "storewalk.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzwalk::walkPstBytes(data, size, [](xmapi::Message& message) {
        xmapi::PropValue delivery;
        (void)xmapi::HrGetOneProp(message, PR_MESSAGE_DELIVERY_TIME, delivery);
        QByteArray mime;
        if (xmapi::succeeded(ConvertMessageToMime(message, mime)))
            (void)RepairDateHeader(mime, DateHeaderOfDeliveryTime(delivery.ft));
    });
    return 0;
}
