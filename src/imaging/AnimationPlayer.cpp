#include "imaging/AnimationPlayer.h"

#include "imaging/Animation.h"
#include "imaging/Limits.h"
#include "imaging/PoolJobs.h"

#include <QFile>

#include <atomic>
#include <mutex>
#include <optional>

namespace oxlume::imaging {

// What the pool's tasks share with the player. One task runs at a time; the next starts
// only after the player took the result of the one before. Tasks and results pass through
// mutexes of our own, not through captured functors, so every hand-over between the
// threads is one the race checker can see.
struct AnimationPlayer::Session {
    std::string path;
    // Touched only by the one task running (busy), or by nobody.
    std::unique_ptr<FrameSource> source;
    int playsLeft = 0; // 0: for ever
    bool finished = false;
    bool isOpen = false;
    std::atomic<bool> busy{false};

    std::mutex mutex;                  // guards what follows
    AnimationPlayer *player = nullptr; // nulled when the session ends
    struct Result {
        bool opening = false; // the first task: firstDelay and isAnimation say what it found
        int firstDelay = 0;
        bool isAnimation = false;
        QImage frame; // null when the last play ended or the data broke off
        int delayMs = 0;
    };
    std::optional<Result> result;
};

namespace {

// The file's animation, positioned after its first frame, whose delay is returned; null
// for anything that is no animation.
std::unique_ptr<FrameSource> openAfterFirst(const std::string &path, int &firstDelay)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray head = file.peek(4096);
    if (!FrameSource::mayBeAnimated(
            Bytes(reinterpret_cast<const std::byte *>(head.constData()), size_t(head.size()))) ||
        file.size() > kMaxFileBytes)
        return nullptr;
    auto source = FrameSource::open(file.readAll());
    if (!source)
        return nullptr;
    auto first = source->next();
    if (!first)
        return nullptr;
    firstDelay = first->delayMs;
    return source;
}

} // namespace

AnimationPlayer::AnimationPlayer(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &AnimationPlayer::due);
}

AnimationPlayer::~AnimationPlayer()
{
    stop();
}

void AnimationPlayer::stop()
{
    m_timer.stop();
    m_pending = QImage();
    m_hasPending = false;
    m_isDue = false;
    if (!m_session)
        return;
    // The task may hold the last other reference: the session outlives its lock here.
    const std::shared_ptr<Session> session = std::exchange(m_session, nullptr);
    const std::lock_guard lock(session->mutex); // a task reporting back finishes first
    session->player = nullptr;
}

void AnimationPlayer::play(const std::string &path)
{
    stop();
    auto session = std::make_shared<Session>();
    session->path = path;
    session->player = this;
    m_session = session;
    session->busy = true;
    start(session);
}

void AnimationPlayer::start(const std::shared_ptr<Session> &session)
{
    PoolJobs<Session>::start(session, &runJob);
}

// On a pool thread: the oldest waiting session's next step, opening the file first.
void AnimationPlayer::runJob()
{
    const std::shared_ptr<Session> session = PoolJobs<Session>::take();
    if (!session)
        return;
    Session::Result result;
    if (!session->isOpen) {
        session->isOpen = true;
        session->source = openAfterFirst(session->path, result.firstDelay);
        if (session->source)
            session->playsLeft = session->source->plays();
        result.opening = true;
        result.isAnimation = session->source != nullptr;
    } else {
        FrameSource &source = *session->source;
        if (source.atEnd() && !session->finished) {
            // Another play if the file asks for one: plays counts the first too.
            if (session->playsLeft == 1)
                session->finished = true;
            else {
                if (session->playsLeft > 1)
                    --session->playsLeft;
                source.rewind();
            }
        }
        if (!session->finished) {
            if (Result<AnimationFrame> frame = source.next()) {
                result.frame = std::move(frame->image);
                result.delayMs = frame->delayMs;
            }
        }
    }
    const std::lock_guard lock(session->mutex);
    session->busy = false;
    if (!session->player)
        return;
    session->result = std::move(result);
    QMetaObject::invokeMethod(session->player, "resultArrived", Qt::QueuedConnection);
}

void AnimationPlayer::resultArrived()
{
    // A result of a session stopped since was dropped with it.
    if (!m_session)
        return;
    std::optional<Session::Result> result;
    {
        const std::lock_guard lock(m_session->mutex);
        result.swap(m_session->result);
    }
    if (!result)
        return;
    if (result->opening)
        opened(result->firstDelay, result->isAnimation);
    else
        arrived(result->frame, result->delayMs);
}

void AnimationPlayer::opened(int firstDelay, bool isAnimation)
{
    if (!isAnimation) {
        m_session.reset(); // a still image: nothing to play
        return;
    }
    m_timer.start(shownDelayMs(firstDelay));
    decodeNext();
}

void AnimationPlayer::decodeNext()
{
    const std::shared_ptr<Session> session = m_session;
    if (!session || session->busy.exchange(true))
        return;
    start(session);
}

void AnimationPlayer::arrived(const QImage &frame, int delayMs)
{
    if (frame.isNull()) { // the last play ended, or the data broke off: the frame stays
        m_session.reset();
        return;
    }
    m_pending = frame;
    m_pendingDelay = delayMs;
    m_hasPending = true;
    if (m_isDue)
        showPending();
}

void AnimationPlayer::due()
{
    if (m_hasPending)
        showPending();
    else
        m_isDue = true;
}

void AnimationPlayer::showPending()
{
    m_isDue = false;
    m_hasPending = false;
    const QImage frame = std::exchange(m_pending, QImage());
    m_timer.start(shownDelayMs(m_pendingDelay));
    decodeNext();
    emit frameReady(frame);
}

} // namespace oxlume::imaging
