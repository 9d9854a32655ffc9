#include "TarvRequester.h"

#include "BrokerText.h"
#include "MessageDialogs.h"

#include <curl/curl.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

TTarvRequester Requester;

namespace {

// One HTTP request object: a POST driven through libcurl's multi interface. It is created
// per exchange and freed at its end; freeing it before completion abandons the request.
class THttpExchange final {
public:
    THttpExchange(const std::string& url, const std::string& body) {
        easy_ = curl_easy_init();
        multi_ = curl_multi_init();
        if (easy_ == nullptr || multi_ == nullptr) {
            completed_ = true; // no request object: no usable answer
            return;
        }
        // The one header the requester sets; the other two lines stop libcurl from adding a
        // content type and an expectation of its own.
        headers_ = curl_slist_append(headers_, "Connection: close");
        headers_ = curl_slist_append(headers_, "Content-Type:");
        headers_ = curl_slist_append(headers_, "Expect:");
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_POST, 1L);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, body.c_str());
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &THttpExchange::Write);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
            completed_ = true;
            return;
        }
        added_ = true;
    }

    ~THttpExchange() {
        if (added_)
            curl_multi_remove_handle(multi_, easy_);
        if (easy_ != nullptr)
            curl_easy_cleanup(easy_);
        if (multi_ != nullptr)
            curl_multi_cleanup(multi_);
        curl_slist_free_all(headers_);
    }

    THttpExchange(const THttpExchange&) = delete;
    THttpExchange& operator=(const THttpExchange&) = delete;

    // Moves the transfer on without waiting; true once the answer is complete.
    bool Completed() {
        Drive();
        return completed_;
    }

    // Waits at most `ms` milliseconds, returning early when the answer completes.
    void Pause(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (Completed())
                return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return;
            if (curl_multi_poll(multi_, nullptr, 0, static_cast<int>(left), nullptr) != CURLM_OK) {
                Fail();
                return;
            }
        }
    }

    // The body of a completed answer; empty when the transfer failed.
    const std::string& Body() const { return body_; }

private:
    static size_t Write(char* data, size_t size, size_t count, void* self) {
        auto* exchange = static_cast<THttpExchange*>(self);
        const size_t n = size * count;
        if (exchange->body_.size() + n > TTarvRequester::kMaxAnswerBytes)
            return 0; // ends the transfer with an error
        exchange->body_.append(data, n);
        return n;
    }

    void Drive() {
        if (completed_)
            return;
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            Fail();
            return;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) {
                completed_ = true;
                if (msg->data.result != CURLE_OK)
                    body_.clear(); // a transport failure completes with an empty body
            }
        }
    }

    void Fail() {
        completed_ = true;
        body_.clear();
    }

    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    curl_slist* headers_ = nullptr;
    bool added_ = false;
    bool completed_ = false;
    std::string body_;
};

// The source line around `offset`, cut to a readable length.
std::string SourceLineAt(const std::string& body, std::size_t offset) {
    constexpr std::size_t kSide = 120;
    if (offset > body.size())
        offset = body.size();
    std::size_t begin = offset;
    while (begin > 0 && body[begin - 1] != '\n' && body[begin - 1] != '\r')
        --begin;
    std::size_t end = body.find_first_of("\r\n", offset);
    if (end == std::string::npos)
        end = body.size();
    if (offset - begin > kSide)
        begin = offset - kSide;
    if (end - offset > kSide)
        end = offset + kSide;
    // Keep whole UTF-8 characters.
    while (begin < end && (static_cast<unsigned char>(body[begin]) & 0xC0) == 0x80)
        ++begin;
    while (end < body.size() && end > begin &&
           (static_cast<unsigned char>(body[end]) & 0xC0) == 0x80)
        --end;
    return body.substr(begin, end - begin);
}

bool IsPlainPath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.back() == '/')
        return false;
    for (char c : path) {
        const auto u = static_cast<unsigned char>(c);
        const bool nameChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '_' || c == '-' || u >= 0x80;
        if (!nameChar && c != '/')
            return false;
    }
    return path.find("//") == std::string_view::npos;
}

bool NameIs(pugi::xml_node node, std::string_view name) {
    const char* n = node.name();
    return std::strlen(n) == name.size() && std::memcmp(n, name.data(), name.size()) == 0;
}

// Collects the elements at a plain path in document order; stops at the first when `first`.
bool Collect(pugi::xml_node node, std::string_view path, bool first,
             std::vector<pugi::xml_node>& out) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    const std::string_view rest =
        slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || !NameIs(child, name))
            continue;
        if (rest.empty()) {
            out.push_back(child);
            if (first)
                return true;
        } else if (Collect(child, rest, first, out) && first) {
            return true;
        }
    }
    return false;
}

// The first element at a plain path in document order, without collecting the others.
pugi::xml_node FindFirst(pugi::xml_node node, std::string_view path) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || !NameIs(child, name))
            continue;
        if (slash == std::string_view::npos)
            return child;
        if (pugi::xml_node found = FindFirst(child, path.substr(slash + 1)))
            return found;
    }
    return {};
}

// The text of an element that holds one text node and nothing else, without copying it.
bool SimpleText(pugi::xml_node node, std::string_view& text) {
    const pugi::xml_node first = node.first_child();
    if (!first) {
        text = {};
        return true;
    }
    if (first.next_sibling() ||
        (first.type() != pugi::node_pcdata && first.type() != pugi::node_cdata))
        return false;
    text = first.value();
    return true;
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

// A leading "+" before a digit or a point is allowed; from_chars takes only "-".
std::string_view WithoutPlus(std::string_view s) {
    if (s.size() > 1 && s.front() == '+' && (s[1] == '.' || (s[1] >= '0' && s[1] <= '9')))
        s.remove_prefix(1);
    return s;
}

} // namespace

TTarvRequester::TTarvRequester() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

TTarvRequester::~TTarvRequester() {
    curl_global_cleanup();
}

std::string TTarvRequester::ComposeBody(std::string_view query) {
    std::string body = "_CLTVER=" + std::to_string(kClientVersion);
    if (!query.empty()) {
        body.push_back('&');
        body.append(query);
    }
    return body;
}

std::string TTarvRequester::SlowExchangeQuestion() const {
    return "Server at \"" + ModuleURL +
           "\" is too slow or probably mulfunctioning. Do you want to Abort?\u200E";
}

bool TTarvRequester::PostQuery(const std::string& body, bool showParseErrors) {
    std::string answer;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock);
        THttpExchange exchange(ModuleURL, body);
        long pauses = 0;
        int counter = 0;
        for (;;) {
            if (exchange.Completed())
                break;
            if (counter >= pauseCount_) {
                counter = 0;
                if (ShowMessageDialog(SlowExchangeQuestion(), TMsgDlgType::mtCustom,
                                      {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo}) == TMsgDlgBtn::mbYes) {
                    lastExchangePauses_ = pauses;
                    return false; // the exchange is abandoned as it is freed
                }
            }
            exchange.Pause(pauseMilliseconds_);
            if (processEvents_)
                processEvents_();
            ++counter;
            ++pauses;
        }
        lastExchangePauses_ = pauses;
        answer = exchange.Body();
        if (LoadAnswer(answer))
            return true;
    }
    if (showParseErrors) {
        if (activateWindow_)
            activateWindow_();
        ShowMessageDialog(ParseErrorText(lastParseError_), TMsgDlgType::mtError,
                          {TMsgDlgBtn::mbOK});
    }
    return false;
}

bool TTarvRequester::LoadAnswer(const std::string& body) {
    const pugi::xml_parse_result result =
        ReplyDoc.load_buffer(body.data(), body.size(), pugi::parse_default, pugi::encoding_auto);
    if (result && ReplyDoc.document_element())
        return true;
    lastParseError_ = TXmlParseError{};
    if (result) {
        lastParseError_.ErrorCode = static_cast<int>(pugi::status_no_document_element);
        lastParseError_.Reason = "No document element found";
    } else {
        lastParseError_.ErrorCode = static_cast<int>(result.status);
        lastParseError_.Reason = result.description();
        lastParseError_.SrcText =
            SourceLineAt(body, result.offset < 0 ? 0 : static_cast<std::size_t>(result.offset));
    }
    ReplyDoc.reset();
    return false;
}

int TTarvRequester::Request(std::string_view query, bool showParseErrors) {
    if (!PostQuery(ComposeBody(query), showParseErrors))
        return 1;
    const std::int32_t number = ReadNodeInt(Root(), "_ERRNUM");
    if (number == 0)
        return 0;
    std::string text = ReadNodeText(Root(), "_ERRSTR");
    if (text.empty())
        text = "Error String not returned from server!";
    ShowMessageDialog("Error Number " + std::to_string(number) + "\r" + text, TMsgDlgType::mtCustom,
                      {TMsgDlgBtn::mbOK});
    return number;
}

int TTarvRequester::RequestQuiet(std::string_view query) {
    if (!PostQuery(ComposeBody(query), false))
        return 1;
    return ReadNodeInt(Root(), "_ERRNUM");
}

std::vector<pugi::xml_node> TTarvRequester::SelectNodes(pugi::xml_node node,
                                                        std::string_view path) {
    std::vector<pugi::xml_node> out;
    if (!node)
        return out;
    if (IsPlainPath(path)) {
        Collect(node, path, false, out);
        return out;
    }
    try {
        const pugi::xpath_node_set set = node.select_nodes(std::string(path).c_str());
        for (const pugi::xpath_node& n : set)
            if (n.node().type() == pugi::node_element)
                out.push_back(n.node());
    } catch (const pugi::xpath_exception&) {
        out.clear(); // not a path: nothing selected
    }
    return out;
}

pugi::xml_node TTarvRequester::SelectSingleNode(pugi::xml_node node, std::string_view path) {
    if (!node)
        return {};
    if (IsPlainPath(path))
        return FindFirst(node, path);
    const std::vector<pugi::xml_node> all = SelectNodes(node, path);
    return all.empty() ? pugi::xml_node{} : all.front();
}

std::string TTarvRequester::NodeText(pugi::xml_node node) {
    if (!node)
        return {};
    const pugi::xml_node first = node.first_child();
    if (first && !first.next_sibling() &&
        (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata))
        return first.value();
    std::string text;
    for (pugi::xml_node n = first; n;) {
        if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata)
            text += n.value();
        if (n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n && !n.next_sibling() && n != node)
            n = n.parent();
        if (!n || n == node)
            break;
        n = n.next_sibling();
    }
    return text;
}

std::string TTarvRequester::ReadNodeText(pugi::xml_node node, std::string_view path) {
    return NodeText(SelectSingleNode(node, path));
}

namespace {

// Runs `read` on the text of an element (empty for none), copying it only when it is spread
// over several nodes.
template <typename F> auto WithText(pugi::xml_node found, F read) {
    std::string_view view;
    if (!found || SimpleText(found, view))
        return read(view);
    const std::string text = TTarvRequester::NodeText(found);
    return read(std::string_view(text));
}

} // namespace

std::string TTarvRequester::NodeTextCut(pugi::xml_node element, std::size_t count) {
    return WithText(element, [count](std::string_view text) { return CutText(text, count); });
}

std::int32_t TTarvRequester::NodeInt(pugi::xml_node element) {
    return WithText(element, [](std::string_view text) -> std::int32_t {
        const std::string_view s = WithoutPlus(TrimView(text));
        std::int32_t value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size())
            return 0;
        return value;
    });
}

double TTarvRequester::NodeFloat(pugi::xml_node element) {
    return WithText(element, [](std::string_view text) -> double {
        const std::string_view s = WithoutPlus(TrimView(text));
        double value = 0.0;
        const auto [end, ec] =
            std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
            return 0.0;
        return value;
    });
}

std::int32_t TTarvRequester::ReadNodeInt(pugi::xml_node node, std::string_view path) {
    return NodeInt(SelectSingleNode(node, path));
}

double TTarvRequester::ReadNodeFloat(pugi::xml_node node, std::string_view path) {
    return NodeFloat(SelectSingleNode(node, path));
}

std::string TTarvRequester::ParseErrorText(const TXmlParseError& error) {
    return "XML Error Number " + std::to_string(error.ErrorCode) + "\rReason: " + error.Reason +
           "\rSource: " + error.SrcText + "\rURL: " + error.Url;
}
