// Replies of cvl-web: every one carries its content type and the headers
// that keep browsers from caching it or guessing another type.
#ifndef CVL_HOSTS_WEB_HTTPREPLY_H
#define CVL_HOSTS_WEB_HTTPREPLY_H

#include <microhttpd.h>

#include <string>

namespace cvl::web {

// Queues response with those headers and releases it; MHD_NO for a null one.
int SendResponse(MHD_Connection* connection, unsigned status, MHD_Response* response,
                 const char* contentType);
// The same for a copy of text.
int SendText(MHD_Connection* connection, unsigned status, const std::string& text,
             const char* contentType);

} // namespace cvl::web

#endif
