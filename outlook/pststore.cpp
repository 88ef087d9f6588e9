// File back-end over .pst/.ost files (libpff).
#include "xmapi.h"
#include "xmapi_internal.h"

namespace xmapi::detail {

HResult logonPst(const std::vector<std::string>&, std::unique_ptr<Session>& session)
{
    session.reset();
    log(LogLevel::Critical, "The .pst/.ost back-end is not built yet");
    return MAPI_E_NO_SUPPORT;
}

} // namespace xmapi::detail
