#pragma once
// Plays an animated file in the image area: the loader shows its first frame as for any
// image, and this hands over the later ones when their time comes. Each frame is decoded
// on Qt's thread pool while the one before is on screen, never more than one ahead.

#include <QImage>
#include <QObject>
#include <QTimer>

#include <memory>
#include <string>

namespace oxlume::imaging {

class AnimationPlayer : public QObject {
    Q_OBJECT
public:
    explicit AnimationPlayer(QObject *parent = nullptr);
    // Waits for a frame being decoded (one frame at most).
    ~AnimationPlayer() override;

    // Plays the file at path from its second frame, when it is an animation; for anything
    // else, nothing happens beyond a look at the file's first bytes on the thread pool.
    // Stops what played before.
    void play(const std::string &path);
    void stop();
    bool isPlaying() const { return m_session != nullptr; }

signals:
    // The next frame (the whole canvas, Format_ARGB32) is due on screen.
    void frameReady(const QImage &frame);

private:
    struct Session;
    void start(const std::shared_ptr<Session> &session);
    static void runJob();
    void decodeNext();
    // Queued by a pool task when its result waits in the session.
    Q_INVOKABLE void resultArrived();
    void opened(int firstDelay, bool isAnimation);
    void arrived(const QImage &frame, int delayMs);
    void due();
    void showPending();

    std::shared_ptr<Session> m_session;
    QTimer m_timer;
    QImage m_pending;       // decoded, waiting for its time
    int m_pendingDelay = 0; // how long it stays once shown
    bool m_hasPending = false;
    bool m_isDue = false; // the shown frame's time ran out before the next one was ready
};

} // namespace oxlume::imaging
