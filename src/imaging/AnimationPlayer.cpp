#include "imaging/AnimationPlayer.h"

#include "imaging/Animation.h"
#include "imaging/Limits.h"

#include <QFile>
#include <QThreadPool>

#include <atomic>
#include <mutex>

namespace oxlume::imaging {

// What the pool's tasks share with the player. One task runs at a time; the next starts
// only after the player received the result of the one before.
struct AnimationPlayer::Session {
    std::string path;
    std::unique_ptr<FrameSource> source;
    int playsLeft = 0; // 0: for ever
    bool finished = false;
    std::mutex mutex;                  // held while a task reports back
    AnimationPlayer *player = nullptr; // nulled when the session ends
    std::atomic<bool> busy{false};
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
    std::lock_guard lock(m_session->mutex); // a task reporting back finishes first
    m_session->player = nullptr;
    m_session.reset();
}

void AnimationPlayer::play(const std::string &path)
{
    stop();
    auto session = std::make_shared<Session>();
    session->path = path;
    session->player = this;
    m_session = session;
    session->busy = true;
    QThreadPool::globalInstance()->start([session] {
        int firstDelay = 0;
        session->source = openAfterFirst(session->path, firstDelay);
        if (session->source)
            session->playsLeft = session->source->plays();
        std::lock_guard lock(session->mutex);
        session->busy = false;
        if (!session->player)
            return;
        AnimationPlayer *player = session->player;
        QMetaObject::invokeMethod(player, [player, session, firstDelay] {
            if (player->m_session != session)
                return;
            if (!session->source) {
                player->m_session.reset(); // a still image: nothing to play
                return;
            }
            player->m_timer.start(shownDelayMs(firstDelay));
            player->decodeNext();
        });
    });
}

void AnimationPlayer::decodeNext()
{
    const std::shared_ptr<Session> session = m_session;
    if (!session || session->busy.exchange(true))
        return;
    QThreadPool::globalInstance()->start([session] {
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
        Result<AnimationFrame> frame =
            session->finished ? Result<AnimationFrame>(makeError("done")) : source.next();
        std::lock_guard lock(session->mutex);
        session->busy = false;
        if (!session->player)
            return;
        AnimationPlayer *player = session->player;
        const QImage image = frame ? frame->image : QImage();
        const int delay = frame ? frame->delayMs : 0;
        QMetaObject::invokeMethod(
            player, [player, session, image, delay] { player->arrived(session, image, delay); });
    });
}

void AnimationPlayer::arrived(const std::shared_ptr<Session> &session, const QImage &frame,
                              int delayMs)
{
    if (session != m_session)
        return;
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
