#include "RequestRunner.h"

#include "BusyCursor.h"
#include "MessageDialogs.h"
#include "MessagePresenters.h"
#include "PacketTransport.h"
#include "ServerErrors.h"
#include "TarvRequester.h"
#include "WaitWindow.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// How often this thread looks at the worker while it waits. The worker never calls into Qt:
// everything it hands over lies under the state's mutex, and this thread fetches it.
constexpr int kPollMs = 5;

std::atomic<bool> g_exchangeRunning{false};
std::atomic<bool> g_brokerWaiting{false};

// Windows that the user closed while a request ran, closed once it has ended.
std::vector<QPointer<QWidget>> g_pendingCloses;

// What the worker and this thread share while an exchange runs; all of it under Mutex.
struct TExchangeState {
    std::mutex Mutex;
    std::condition_variable Answered;
    bool Finished = false;
    const TMessageRequest* Box = nullptr; // a box the worker waits on
    bool BoxAnswered = false;
    TMsgDlgBtn Answer = TMsgDlgBtn::mbOK;
    bool Busy = false; // the busy pointer the exchange asked for
};

// The state of the exchange running now; set before its worker starts and cleared after it
// ended, so that the worker always sees it.
TExchangeState* g_state = nullptr;

// Shows a box through the presenter that was installed before the exchange began; a box
// raised on the worker is handed to this thread and the worker waits for its answer.
class TWorkerPresenter final : public IMessagePresenter {
public:
    TWorkerPresenter(IMessagePresenter* target, TExchangeState& state)
        : target_(target), state_(state), uiThread_(std::this_thread::get_id()) {}

    TMsgDlgBtn Present(const TMessageRequest& request) override {
        if (std::this_thread::get_id() == uiThread_)
            return Forward(request);
        std::unique_lock<std::mutex> lock(state_.Mutex);
        state_.Box = &request;
        state_.BoxAnswered = false;
        state_.Answered.wait(lock, [this] { return state_.BoxAnswered; });
        state_.Box = nullptr;
        return state_.Answer;
    }

    TMsgDlgBtn Forward(const TMessageRequest& request) {
        if (target_ != nullptr)
            return target_->Present(request);
        static TStderrMessagePresenter fallback;
        return fallback.Present(request);
    }

private:
    IMessagePresenter* target_;
    TExchangeState& state_;
    std::thread::id uiThread_;
};

bool IsInside(const QObject* object, const QWidget* window) {
    if (window == nullptr)
        return false;
    for (; object != nullptr; object = object->parent())
        if (object == window)
            return true;
    return false;
}

// Holds back the console's input while a request runs, as a modal box would: keys, shortcuts,
// clicks and the wheel reach only the wait window. A window closed meanwhile (the main window
// by the system, a view by its close button) cancels the request and is closed after it.
class TInputHold final : public QObject {
public:
    explicit TInputHold(std::function<void()> onClose) : onClose_(std::move(onClose)) {
        qApp->installEventFilter(this);
    }
    ~TInputHold() override { qApp->removeEventFilter(this); }
    TInputHold(const TInputHold&) = delete;
    TInputHold& operator=(const TInputHold&) = delete;

    void SetWaitWindow(const QWidget* window) { waitWindow_ = window; }
    // While a box of the request is up its own modality holds the rest back.
    void Suspend(bool suspended) { suspended_ = suspended; }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (suspended_)
            return false;
        switch (event->type()) {
        case QEvent::Close: {
            auto* widget = qobject_cast<QWidget*>(watched);
            if (widget == nullptr || !widget->isWindow() || !widget->isVisible() ||
                IsInside(widget, waitWindow_))
                return false;
            const Qt::WindowType type = widget->windowType();
            if (type != Qt::Window && type != Qt::Dialog)
                return false;
            event->ignore();
            bool known = false;
            for (const QPointer<QWidget>& w : g_pendingCloses)
                known = known || w == widget;
            if (!known)
                g_pendingCloses.emplace_back(widget);
            onClose_();
            return true;
        }
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return !IsInside(watched, waitWindow_);
        default:
            return false;
        }
    }

private:
    std::function<void()> onClose_;
    const QWidget* waitWindow_ = nullptr;
    bool suspended_ = false;
};

// The window over which the wait window stands.
QWidget* WaitWindowParent() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

void ShowWaitWindow(TWaitWindow& window) {
    window.show();
    window.raise();
    window.activateWindow();
    window.CancelBtn->setFocus();
}

// Closes the windows that were closed during the request, once control is back in the event
// loop that the request interrupted.
void DeliverPendingCloses() {
    if (g_pendingCloses.empty())
        return;
    QTimer::singleShot(0, qApp, [] {
        std::vector<QPointer<QWidget>> closes;
        closes.swap(g_pendingCloses);
        for (const QPointer<QWidget>& w : closes)
            if (w)
                w->close();
    });
}

} // namespace

bool ConsoleRequestRunning() {
    return g_exchangeRunning.load() || g_brokerWaiting.load();
}

bool CloseRequestedDuringRequest(const QWidget* window) {
    for (const QPointer<QWidget>& w : g_pendingCloses)
        if (w == window)
            return true;
    return false;
}

TBusyHooks RequestBusyHooks() {
    TBusyHooks hooks;
    hooks.BeginBusy = [] {
        std::lock_guard<std::mutex> lock(g_state->Mutex);
        g_state->Busy = true;
    };
    hooks.EndBusy = [] {
        std::lock_guard<std::mutex> lock(g_state->Mutex);
        g_state->Busy = false;
    };
    // Events go on being processed on this thread for the whole exchange.
    return hooks;
}

bool RunServerRequest(const std::function<void()>& exchange) {
    if (g_exchangeRunning.load())
        return false;
    g_exchangeRunning = true;
    TExchangeState state;
    g_state = &state;
    TWorkerPresenter presenter(CurrentMessagePresenter(), state);
    IMessagePresenter* const previousPresenter = SetMessagePresenter(&presenter);
    WithdrawExchangeCancel();

    bool cancelled = false;
    QPointer<TWaitWindow> wait;
    const auto cancel = [&] {
        if (cancelled)
            return;
        cancelled = true;
        LogError("Request cancelled by the user.");
        CancelExchange();
        if (wait)
            wait->hide();
    };
    TInputHold hold(cancel);

    std::thread worker([&exchange, &state] {
        exchange();
        std::lock_guard<std::mutex> lock(state.Mutex);
        state.Finished = true;
    });

    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    bool presenting = false;
    bool busyShown = false;
    bool finished = false;
    const auto applyBusy = [&busyShown](bool busy) {
        if (busy == busyShown)
            return;
        busyShown = busy;
        if (busy)
            QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        else
            QApplication::restoreOverrideCursor();
    };
    QTimer poll;
    poll.setInterval(kPollMs);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (presenting)
            return;
        const TMessageRequest* box = nullptr;
        bool busy = false;
        {
            std::lock_guard<std::mutex> lock(state.Mutex);
            if (!state.BoxAnswered)
                box = state.Box;
            finished = state.Finished;
            busy = state.Busy;
        }
        applyBusy(busy);
        if (box != nullptr) {
            presenting = true;
            const bool waitShown = wait && wait->isVisible();
            if (waitShown)
                wait->hide();
            hold.Suspend(true);
            const TMsgDlgBtn answer = presenter.Forward(*box);
            hold.Suspend(false);
            if (waitShown && !cancelled)
                ShowWaitWindow(*wait);
            {
                std::lock_guard<std::mutex> lock(state.Mutex);
                state.Answer = answer;
                state.BoxAnswered = true;
            }
            state.Answered.notify_all();
            presenting = false;
            return;
        }
        if (finished) {
            loop.quit();
            return;
        }
        if (cancelled) {
            // Again, for a connection that the worker opened after the first shutdown.
            CancelExchange();
            return;
        }
        if (!wait && elapsed.elapsed() >= kWaitWindowDelayMs) {
            wait = new TWaitWindow(WaitWindowParent());
            QObject::connect(wait, &QDialog::rejected, cancel);
            hold.SetWaitWindow(wait);
            ShowWaitWindow(*wait);
        }
    });
    poll.start();
    while (!finished) {
        loop.exec();
        if (finished)
            break;
        // The loop was ended from outside (the application is quitting): the exchange is
        // cancelled and its boxes answered as if closed, without waiting for the user.
        cancelled = true;
        std::unique_lock<std::mutex> lock(state.Mutex);
        for (;;) {
            if (state.Finished)
                break;
            if (state.Box != nullptr && !state.BoxAnswered) {
                state.Answer = state.Box->CancelButton;
                state.BoxAnswered = true;
                state.Answered.notify_all();
            }
            lock.unlock();
            CancelExchange();
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            lock.lock();
        }
        finished = true;
    }
    poll.stop();
    worker.join();

    applyBusy(false);
    delete wait.data();
    SetMessagePresenter(previousPresenter);
    WithdrawExchangeCancel();
    g_state = nullptr;
    g_exchangeRunning = false;
    DeliverPendingCloses();
    return !cancelled;
}

// ---- the broker's wait

namespace {

// The broker waits on this thread, processing events between its pauses: the wait window is
// shown from there once the exchange has lasted, and its Cancel abandons the exchange.
struct TBrokerWait {
    QElapsedTimer Elapsed;
    QPointer<TWaitWindow> Window;
    int Depth = 1; // an exchange started from inside another's wait shares its window
};
TBrokerWait* g_brokerWait = nullptr;

void BeginBrokerWait() {
    if (g_brokerWait != nullptr) {
        ++g_brokerWait->Depth;
        return;
    }
    g_brokerWait = new TBrokerWait;
    g_brokerWait->Elapsed.start();
    g_brokerWaiting = true;
}

void EndBrokerWait() {
    if (g_brokerWait == nullptr || --g_brokerWait->Depth > 0)
        return;
    delete g_brokerWait->Window.data();
    delete g_brokerWait;
    g_brokerWait = nullptr;
    g_brokerWaiting = false;
}

void BrokerWaitTick() {
    TBrokerWait* w = g_brokerWait;
    if (w == nullptr || w->Window || w->Elapsed.elapsed() < kWaitWindowDelayMs)
        return;
    w->Window = new TWaitWindow(WaitWindowParent());
    QObject::connect(w->Window, &QDialog::rejected, [] { Requester.AbandonExchange(); });
    ShowWaitWindow(*w->Window);
}

} // namespace

void InstallBrokerWaitHooks() {
    Requester.SetWaitHooks(BeginBrokerWait, EndBrokerWait);
    Requester.SetProcessEventsHook([] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        BrokerWaitTick();
    });
}
