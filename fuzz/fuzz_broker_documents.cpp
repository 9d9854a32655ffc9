// Every reader of a broker answer over a document parsed as the requester parses it: the
// envelope (_ERRNUM, _ERRSTR), the server list with its cuts and unescaping, the identity
// number and its transformation, the session rows with their resources and texts.

#include "BrokerText.h"
#include "FuzzSupport.h"
#include "HTTPSessions.h"
#include "IdPermutation.h"
#include "TarvRequester.h"
#include "Win1256.h"

#include <cstdlib>

namespace {
using R = TTarvRequester;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInitProcess();
    pugi::xml_document doc;
    if (!doc.load_buffer(data, size, pugi::parse_default, pugi::encoding_auto))
        return 0;
    const pugi::xml_node root = doc.document_element();
    if (!root)
        return 0;

    R::ReadNodeInt(root, "_ERRNUM");
    R::ReadNodeText(root, "_ERRSTR");
    R::ReadNodeFloat(root, "_ERRNUM");

    for (const pugi::xml_node& srv : R::SelectNodes(root, "_DATA/srv")) {
        const std::string name = CutText(R::ReadNodeText(srv, "name"), 60);
        const std::string center = UnescapeXML(R::ReadNodeText(srv, "ecenter"));
        if (Utf8Length(name) > 60)
            std::abort();
        EscapeAmpersands(CutText(center, 80));
    }

    const std::uint32_t response =
        TransformId(R::ReadNodeInt(root, "_DATA/ID"), kDefaultIdPermutation);
    if (response > 0x7FFFFFFFu)
        std::abort();

    for (const THTTPSessionRow& row : BuildSessionRows(root)) {
        if (Utf8Length(row.ServerName) > 60 || Utf8Length(row.ECenterName) > 80 ||
            Utf8Length(row.UserName) > 30)
            std::abort();
        ServerUserName(row);
        LastAccessTimeText(row.LastAccessTime);
        for (const TDBResourceRow& res : row.DBResourceList)
            if (Utf8Length(res.DBName) > 60)
                std::abort();
    }
    // Paths that are not plain names go through XPath; they must not throw out of the reader.
    R::SelectNodes(root, "_DATA//session[1]");
    R::SelectSingleNode(root, "_DATA/");
    return 0;
}
