#include "TarvRequester.h"

#include "BrokerText.h"
#include "MessageDialogs.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

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
            Fail(); // no request object: no usable answer
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
            Fail();
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

    // The body of a completed answer, handed over without a copy; empty when the transfer
    // failed.
    TAnswerBuffer TakeBody() { return std::move(body_); }
    // True when the transfer ended without a complete answer.
    bool Failed() const { return failed_; }
    // True when the answer could not be held in memory.
    bool OutOfMemory() const { return outOfMemory_; }

private:
    // Called by libcurl, so no exception may leave it: an allocation failure ends the transfer
    // and is reported once the exchange is over.
    static size_t Write(char* data, size_t size, size_t count, void* self) {
        auto* exchange = static_cast<THttpExchange*>(self);
        const size_t n = size * count;
        if (n > TTarvRequester::kMaxAnswerBytes - exchange->body_.Size())
            return 0; // ends the transfer with an error
        if (exchange->body_.Capacity() == 0)
            exchange->ReserveAnnouncedLength(n);
        if (!exchange->body_.Append(data, n)) {
            exchange->outOfMemory_ = true;
            return 0;
        }
        return n;
    }

    // Room for the whole answer at once when its length was announced, so that the body does
    // not grow step by step. A length beyond the limit is not believed.
    void ReserveAnnouncedLength(size_t first) {
        curl_off_t announced = -1;
        if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK)
            return;
        if (announced > 0 &&
            static_cast<std::uint64_t>(announced) <= TTarvRequester::kMaxAnswerBytes &&
            static_cast<size_t>(announced) >= first)
            body_.Reserve(static_cast<size_t>(announced)); // when short, it grows as it comes
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
                    Fail(); // a transport failure completes with an empty body
            }
        }
    }

    void Fail() {
        completed_ = true;
        failed_ = true;
        body_.Clear();
    }

    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    curl_slist* headers_ = nullptr;
    bool added_ = false;
    bool completed_ = false;
    bool failed_ = false;
    bool outOfMemory_ = false;
    TAnswerBuffer body_;
};

// The source line around `offset`, cut to a readable length, with the passwords in `mask`
// masked. A password that the cut would split is masked whole and shown as the mask. The bytes
// before `exactFrom` are not the answer's own any more: the line is not followed back past it.
std::string SourceLineAt(std::string_view body, std::size_t offset, const TSecretMask& mask,
                         std::size_t exactFrom) {
    constexpr std::size_t kSide = 120;
    if (offset > body.size())
        offset = body.size();
    exactFrom = std::min(exactFrom, offset);
    std::size_t lineBegin = offset;
    while (lineBegin > exactFrom && body[lineBegin - 1] != '\n' && body[lineBegin - 1] != '\r')
        --lineBegin;
    std::size_t lineEnd = body.find_first_of("\r\n", offset);
    if (lineEnd == std::string::npos)
        lineEnd = body.size();
    std::size_t begin = offset - lineBegin > kSide ? offset - kSide : lineBegin;
    std::size_t end = lineEnd - offset > kSide ? offset + kSide : lineEnd;
    // Keep whole UTF-8 characters.
    while (begin < end && (static_cast<unsigned char>(body[begin]) & 0xC0) == 0x80)
        ++begin;
    while (end < body.size() && end > begin &&
           (static_cast<unsigned char>(body[end]) & 0xC0) == 0x80)
        --end;
    if (mask.Empty())
        return std::string(body.substr(begin, end - begin));
    // Look for passwords a little beyond both cuts, so that one the cut would split is found.
    const std::size_t reach = mask.LongestForm();
    const std::size_t windowBegin = begin - lineBegin > reach ? begin - reach : lineBegin;
    const std::size_t windowEnd = lineEnd - end > reach ? end + reach : lineEnd;
    const std::string_view window(body.data() + windowBegin, windowEnd - windowBegin);
    std::string shown;
    std::size_t from = begin;
    for (const auto& [first, last] : mask.Find(window)) {
        const std::size_t b = windowBegin + first;
        const std::size_t e = windowBegin + last;
        if (e <= begin || b >= end)
            continue; // outside the part shown
        if (b > from)
            shown.append(body.substr(from, b - from));
        shown.append(TSecretMask::kMask);
        from = e;
    }
    if (end > from)
        shown.append(body.substr(from, end - from));
    return shown;
}

// Hands the memory of a large document that was freed back to the system. The document's nodes
// lie among smaller blocks that live on (the rows made from them), so the allocator would
// otherwise keep their pages.
void ReturnFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
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

// Hands the elements at a plain path to `visit` in document order, until it answers false;
// false then.
template <typename TVisit>
bool WalkPath(pugi::xml_node node, std::string_view path, const TVisit& visit) {
    const std::size_t slash = path.find('/');
    const std::string_view name = path.substr(0, slash);
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || !NameIs(child, name))
            continue;
        const bool goOn = slash == std::string_view::npos
                              ? visit(child)
                              : WalkPath(child, path.substr(slash + 1), visit);
        if (!goOn)
            return false;
    }
    return true;
}

// The first element at a plain path in document order, without collecting the others.
pugi::xml_node FindFirst(pugi::xml_node node, std::string_view path) {
    pugi::xml_node found;
    WalkPath(node, path, [&found](pugi::xml_node n) {
        found = n;
        return false;
    });
    return found;
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
    return "Server at \"" + MaskSentPasswords(ModuleURL) +
           "\" is too slow or probably mulfunctioning. Do you want to Abort?\u200E";
}

TBrokerOutcome TTarvRequester::PostQuery(const std::string& body, bool showParseErrors) {
    TBrokerOutcome outcome = TBrokerOutcome::Malformed;
    {
        std::lock_guard<std::recursive_mutex> guard(Lock);
        // The previous answer is read by now: it goes before the new one is received, so that
        // two answers are never held at once and the new one does not settle above the old.
        const bool large = replyBytes_.Size() >= kLargeAnswerBytes;
        ReplyDoc.reset();
        replyBytes_.Clear();
        if (large)
            ReturnFreedMemory();
        TAnswerBuffer answer;
        bool failed = false;
        {
            THttpExchange exchange(ModuleURL, body);
            long pauses = 0;
            int counter = 0;
            abandon_ = false;
            struct TWaitBracket {
                const std::function<void()>& End;
                ~TWaitBracket() {
                    if (End)
                        End();
                }
            } bracket{waitEnd_};
            if (waitBegin_)
                waitBegin_();
            for (;;) {
                if (exchange.Completed())
                    break;
                if (counter >= pauseCount_) {
                    counter = 0;
                    if (ShowMessageDialog(SlowExchangeQuestion(), TMsgDlgType::mtCustom,
                                          {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo}) ==
                        TMsgDlgBtn::mbYes) {
                        lastExchangePauses_ = pauses;
                        return TBrokerOutcome::Abandoned; // abandoned as the exchange is freed
                    }
                }
                exchange.Pause(pauseMilliseconds_);
                if (processEvents_)
                    processEvents_();
                if (abandon_) {
                    abandon_ = false;
                    lastExchangePauses_ = pauses;
                    return TBrokerOutcome::Abandoned; // the exchange is abandoned as it is freed
                }
                ++counter;
                ++pauses;
            }
            lastExchangePauses_ = pauses;
            if (exchange.OutOfMemory())
                throw std::bad_alloc();
            failed = exchange.Failed();
            answer = exchange.TakeBody();
        }
        // A failed transfer left an empty body, which is reported as such.
        if (LoadAnswer(std::move(answer)))
            return TBrokerOutcome::Success;
        if (failed)
            outcome = TBrokerOutcome::NoAnswer;
    }
    if (showParseErrors) {
        if (activateWindow_)
            activateWindow_();
        ShowMessageDialog(ParseErrorText(lastParseError_), TMsgDlgType::mtError,
                          {TMsgDlgBtn::mbOK});
    }
    return outcome;
}

bool TAnswerBuffer::Reserve(std::size_t capacity) {
    if (capacity <= capacity_)
        return true;
    // realloc moves a large block by remapping its pages, so growing never holds it twice.
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr)
        return false;
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

bool TAnswerBuffer::Append(const char* bytes, std::size_t count) {
    if (count == 0)
        return true;
    if (count > capacity_ - size_) {
        const std::size_t needed = size_ + count;
        // Doubling keeps the number of moves small; the pages not yet written take no memory.
        const std::size_t doubled = capacity_ > needed / 2 ? capacity_ * 2 : needed;
        if (!Reserve(std::max(needed, doubled)) && !Reserve(needed))
            return false;
    }
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
    return true;
}

bool TTarvRequester::LoadAnswer(TAnswerBuffer answer) {
    // A nested exchange may have loaded its answer meanwhile.
    ReplyDoc.reset();
    replyBytes_.Clear();
    const std::size_t size = answer.Size();
    const std::size_t kept = std::min(size, kQuotedTailBytes);
    const std::string tail =
        kept == 0 ? std::string() : std::string(answer.View().substr(size - kept));
    static char noBytes = 0; // the parser wants a buffer even for an empty answer
    const pugi::xml_parse_result result = ReplyDoc.load_buffer_inplace(
        size == 0 ? &noBytes : answer.Data(), size, pugi::parse_default, pugi::encoding_auto);
    if (result && ReplyDoc.document_element()) {
        replyBytes_ = std::move(answer); // the document's names and texts point into it
        return true;
    }
    ReplyDoc.reset();
    if (result.status == pugi::status_out_of_memory)
        throw std::bad_alloc();
    lastParseError_ = TXmlParseError{};
    if (result) {
        lastParseError_.ErrorCode = static_cast<int>(pugi::status_no_document_element);
        lastParseError_.Reason = "No document element found";
        return false;
    }
    lastParseError_.ErrorCode = static_cast<int>(result.status);
    lastParseError_.Reason = result.description();
    // The answer as it came is quoted only from its tail, put back from the copy. Before the
    // tail the parser may have rewritten the bytes, even beyond the point where it stopped (an
    // unterminated value is decoded before it is found unterminated), so a line that begins
    // there is not quoted: it is not what the broker sent, and a password in it could slip
    // past the mask.
    if (kept != 0)
        std::memcpy(answer.Data() + (size - kept), tail.data(), kept);
    const std::size_t offset = result.offset < 0 ? 0 : static_cast<std::size_t>(result.offset);
    if (offset >= size - kept)
        lastParseError_.SrcText = SourceLineAt(answer.View(), offset, sentPasswords_, size - kept);
    return false;
}

TBrokerResult TTarvRequester::Send(std::string_view query, bool showParseErrors, bool quiet,
                                   const std::vector<std::string>& passwords) {
    for (const std::string& password : passwords)
        sentPasswords_.Add(password);
    const TBrokerOutcome outcome = PostQuery(ComposeBody(query), showParseErrors);
    if (outcome != TBrokerOutcome::Success)
        return TBrokerResult::Of(outcome);
    const std::int32_t number = ReadNodeInt(Root(), "_ERRNUM");
    if (number == kBrokerSuccess)
        return TBrokerResult::Of(TBrokerOutcome::Success);
    if (!quiet) {
        std::string text = MaskSentPasswords(ReadNodeText(Root(), "_ERRSTR"));
        if (text.empty())
            text = "Error String not returned from server!";
        ShowMessageDialog("Error Number " + std::to_string(number) + "\r" + text,
                          TMsgDlgType::mtCustom, {TMsgDlgBtn::mbOK});
    }
    return TBrokerResult::Error(number);
}

TBrokerResult TTarvRequester::Request(std::string_view query, bool showParseErrors,
                                      const std::vector<std::string>& passwords) {
    return Send(query, showParseErrors, false, passwords);
}

TBrokerResult TTarvRequester::RequestQuiet(std::string_view query,
                                           const std::vector<std::string>& passwords) {
    return Send(query, false, true, passwords);
}

void TTarvRequester::ForEachNode(pugi::xml_node node, std::string_view path,
                                 const std::function<void(pugi::xml_node)>& visit) {
    if (!node)
        return;
    if (!IsPlainPath(path)) {
        for (const pugi::xml_node& n : SelectNodes(node, path))
            visit(n);
        return;
    }
    WalkPath(node, path, [&visit](pugi::xml_node n) {
        visit(n);
        return true;
    });
}

std::vector<pugi::xml_node> TTarvRequester::SelectNodes(pugi::xml_node node,
                                                        std::string_view path) {
    std::vector<pugi::xml_node> out;
    if (!node)
        return out;
    if (IsPlainPath(path)) {
        WalkPath(node, path, [&out](pugi::xml_node n) {
            out.push_back(n);
            return true;
        });
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
