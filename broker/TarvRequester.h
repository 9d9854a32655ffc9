#pragma once

// The broker requester: the one channel to the HTTP broker. A query string is posted to the
// module URL and answered by an XML document with "_ERRNUM", "_ERRSTR" and "_DATA". The wait
// keeps the interface alive: it pauses at most 100 ms at a time, runs the pending interface
// events between pauses, and after every 600 pauses asks whether to abandon the exchange.

#include "SecretMask.h"

#include <pugixml.hpp>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// How one broker query ended. Every outcome but Success leaves nothing to read in the reply.
enum class TBrokerOutcome {
    Success,     // the broker answered with error number 0 (or with none)
    BrokerError, // the broker answered with another error number (in TBrokerResult::ErrorNumber)
    Abandoned,   // the user abandoned the slow exchange
    NoAnswer,    // the transfer failed: no connection, no complete answer, an answer too large
    Malformed,   // an answer came, but it is not a well-formed document
};

// The outcome of a query and, for BrokerError, the broker's number.
struct TBrokerResult {
    TBrokerOutcome Outcome = TBrokerOutcome::NoAnswer;
    std::int32_t ErrorNumber = 0;

    static TBrokerResult Of(TBrokerOutcome outcome) { return {outcome, 0}; }
    static TBrokerResult Error(std::int32_t number) {
        return {TBrokerOutcome::BrokerError, number};
    }

    bool Succeeded() const { return Outcome == TBrokerOutcome::Success; }
    friend bool operator==(const TBrokerResult&, const TBrokerResult&) = default;
};

// What the XML parser reported about an answer that is not well-formed.
struct TXmlParseError {
    int ErrorCode = 0;
    std::string Reason;
    std::string SrcText; // the source line where parsing stopped
    std::string Url;     // empty for a document loaded from text
};

// The bytes of one answer in one block that grows in place as they arrive (its pages are
// remapped, not copied, when a large block grows), so that the document can be parsed in them
// without a second copy.
class TAnswerBuffer final {
public:
    TAnswerBuffer() = default;
    ~TAnswerBuffer() { std::free(data_); }
    TAnswerBuffer(TAnswerBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    TAnswerBuffer& operator=(TAnswerBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    TAnswerBuffer(const TAnswerBuffer&) = delete;
    TAnswerBuffer& operator=(const TAnswerBuffer&) = delete;

    char* Data() { return data_; }
    const char* Data() const { return data_; }
    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return capacity_; }
    std::string_view View() const { return {data_, size_}; }

    // Room for `capacity` bytes in all; false (nothing changed) when memory is short.
    bool Reserve(std::size_t capacity);
    // Appends the bytes, growing the block; false (nothing appended) when memory is short.
    bool Append(const char* bytes, std::size_t count);
    // Frees the block.
    void Clear() { *this = TAnswerBuffer(); }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class TTarvRequester final {
public:
    static constexpr int kClientVersion = 600;
    // The error number of a successful answer.
    static constexpr std::int32_t kBrokerSuccess = 0;
    static constexpr int kDefaultPauseCount = 600;
    static constexpr int kDefaultPauseMilliseconds = 100;
    // An answer larger than this is not read to its end and counts as no usable answer.
    static constexpr std::size_t kMaxAnswerBytes = 256u * 1024u * 1024u;
    // The document is parsed in the received bytes themselves, which the parser changes. The
    // parse-error box quotes the answer as it came: the last this many bytes are kept aside
    // during the parse (the whole of a smaller answer). A larger answer whose parsing stopped
    // before them is not quoted.
    static constexpr std::size_t kQuotedTailBytes = 64u * 1024u;
    // Once the document of an answer this large is freed, its memory is handed back.
    static constexpr std::size_t kLargeAnswerBytes = 4u * 1024u * 1024u;

    TTarvRequester();
    ~TTarvRequester();
    TTarvRequester(const TTarvRequester&) = delete;
    TTarvRequester& operator=(const TTarvRequester&) = delete;

    // The absolute URL every query is posted to; empty until the login dialog sets it.
    std::string ModuleURL;
    // The answer of the last completed exchange; read it right after the query returns. It is
    // emptied as the next exchange starts.
    pugi::xml_document ReplyDoc;
    // Held for the whole of one exchange; recursive, because a nested exchange started from
    // the wait's event processing runs on the same thread.
    std::recursive_mutex Lock;

    // "_CLTVER=600", then "&" and the query when the query is not empty.
    static std::string ComposeBody(std::string_view query);

    // The exchange itself: posts the body, waits, loads the answer into ReplyDoc. Success when
    // the answer is a well-formed document (its error number is not read here); a malformed
    // answer, or none, is shown in an error box when `showParseErrors` is set.
    TBrokerOutcome PostQuery(const std::string& body, bool showParseErrors);

    // Success, or the broker's error number after showing it, or no usable answer.
    // `passwords` are the passwords the query carries: they are remembered as sent before the
    // query goes out (see MaskSentPasswords).
    TBrokerResult Request(std::string_view query, bool showParseErrors = false,
                          const std::vector<std::string>& passwords = {});
    // The same without any message of its own (the slow-exchange question is still asked).
    TBrokerResult RequestQuiet(std::string_view query,
                               const std::vector<std::string>& passwords = {});

    // The text with every password sent so far by this requester masked, in any form a broker
    // could echo it in. Every text from an answer that is shown to the user goes through it.
    std::string MaskSentPasswords(std::string_view text) const {
        return sentPasswords_.Apply(text);
    }
    const TSecretMask& SentPasswords() const { return sentPasswords_; }

    // The reply's root element (null when there is none).
    pugi::xml_node Root() const { return ReplyDoc.document_element(); }

    // The elements at `path` below `node`, in document order. A path is names joined by "/",
    // relative to the node; anything else is evaluated as an XPath expression.
    static std::vector<pugi::xml_node> SelectNodes(pugi::xml_node node, std::string_view path);
    // The same elements handed to `visit` one at a time, without a list of them all (for a plain
    // path; an XPath expression is evaluated whole first).
    static void ForEachNode(pugi::xml_node node, std::string_view path,
                            const std::function<void(pugi::xml_node)>& visit);
    // The first element at `path` below `node` (null when there is none).
    static pugi::xml_node SelectSingleNode(pugi::xml_node node, std::string_view path);
    // The concatenated text of the element and its descendants.
    static std::string NodeText(pugi::xml_node node);

    // The value of one element (a null node reads as empty), by the rules of the readers below.
    static std::int32_t NodeInt(pugi::xml_node element);
    // The element's text cut to at most `count` characters.
    static std::string NodeTextCut(pugi::xml_node element, std::size_t count);
    static double NodeFloat(pugi::xml_node element);

    // The text of the first element at `path`; empty when there is none.
    static std::string ReadNodeText(pugi::xml_node node, std::string_view path);
    // That text as a decimal 32-bit integer; 0 when empty, not an integer or out of range.
    static std::int32_t ReadNodeInt(pugi::xml_node node, std::string_view path);
    // That text as a decimal number with "." as separator; 0 when empty or not a number.
    static double ReadNodeFloat(pugi::xml_node node, std::string_view path);

    // The parse-error box text: four lines separated by a carriage return.
    static std::string ParseErrorText(const TXmlParseError& error);
    // The error of the last answer that was not well-formed; its source line has the passwords
    // sent masked.
    const TXmlParseError& LastParseError() const { return lastParseError_; }

    // The slow-exchange question for the current module URL.
    std::string SlowExchangeQuestion() const;

    // Runs the pending interface events between pauses (the console sets Qt's event
    // processing; the command-line tool sets none).
    void SetProcessEventsHook(std::function<void()> hook) { processEvents_ = std::move(hook); }
    // Called when an exchange starts waiting for its answer and when that wait ends (the console
    // shows its wait window in between).
    void SetWaitHooks(std::function<void()> begin, std::function<void()> end) {
        waitBegin_ = std::move(begin);
        waitEnd_ = std::move(end);
    }
    // Abandons the exchange that is waiting, as the answer Yes to the slow-exchange question
    // does; called on the interface thread from inside the process-events hook.
    void AbandonExchange() { abandon_ = true; }
    // Brings the application's active window to the front before a parse-error box.
    void SetActivateWindowHook(std::function<void()> hook) { activateWindow_ = std::move(hook); }

    // Test seams: the number of pauses before the question and the length of one pause.
    void SetPauseCountForTesting(int count) { pauseCount_ = count > 0 ? count : 1; }
    void SetPauseMillisecondsForTesting(int ms) { pauseMilliseconds_ = ms >= 0 ? ms : 0; }
    void ResetWaitForTesting() {
        pauseCount_ = kDefaultPauseCount;
        pauseMilliseconds_ = kDefaultPauseMilliseconds;
    }
    int PauseCount() const { return pauseCount_; }
    int PauseMilliseconds() const { return pauseMilliseconds_; }
    // The pauses the last exchange took (whether or not they ran their full length).
    long LastExchangePauses() const { return lastExchangePauses_; }

    // Forgets the passwords sent (for tests).
    void ForgetSentPasswordsForTesting() { sentPasswords_.Clear(); }

private:
    // Parses the answer in its own bytes into ReplyDoc, which then keeps them; throws
    // std::bad_alloc when the parser runs out of memory.
    bool LoadAnswer(TAnswerBuffer answer);
    // One query: the exchange, then the answer's error number and text, shown unless `quiet`.
    TBrokerResult Send(std::string_view query, bool showParseErrors, bool quiet,
                       const std::vector<std::string>& passwords);

    std::function<void()> processEvents_;
    std::function<void()> activateWindow_;
    std::function<void()> waitBegin_;
    std::function<void()> waitEnd_;
    bool abandon_ = false;
    int pauseCount_ = kDefaultPauseCount;
    int pauseMilliseconds_ = kDefaultPauseMilliseconds;
    long lastExchangePauses_ = 0;
    TXmlParseError lastParseError_;
    // The bytes ReplyDoc was parsed in; they live exactly as long as its content.
    TAnswerBuffer replyBytes_;
    TSecretMask sentPasswords_;
};

// The process's one requester.
extern TTarvRequester Requester;
