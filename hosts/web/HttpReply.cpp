#include "HttpReply.h"

namespace cvl::web {

int SendResponse(MHD_Connection* connection, unsigned status, MHD_Response* response,
                 const char* contentType) {
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

int SendText(MHD_Connection* connection, unsigned status, const std::string& text,
             const char* contentType) {
    return SendResponse(connection, status,
                        MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                                        MHD_RESPMEM_MUST_COPY),
                        contentType);
}

} // namespace cvl::web
