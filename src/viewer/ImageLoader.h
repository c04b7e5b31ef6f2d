#pragma once
// Image loading: the one way an image reaches the image area. In background mode ("Use
// Work Thread") a worker thread decodes into the windowless DecoderImager and the user-
// interface thread only moves the finished image into Imager1; in foreground mode the image
// decodes on the user-interface thread straight into Imager1. Only the latest request is
// ever shown.
//
// Locks: DecodeLock (DecoderImager in use) is always taken before NameLock (the request
// and progress strings, owned by LoadChannel); nobody takes DecodeLock while holding
// NameLock.

#include "imaging/AnimationPlayer.h"
#include "imaging/WindowlessImager.h"
#include "imaging/control/Imager.h"
#include "settings/OptionsUnit.h"
#include "viewer/DecoderAccess.h"
#include "viewer/LoadChannel.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace oxlume {

class TViewerThread;

class ImageLoader : public QObject {
    Q_OBJECT
public:
    // How the loader reaches the window. All run on the user-interface thread.
    struct WindowHooks {
        std::function<QString()> caption; // window title
        std::function<void(const QString &)> setCaption;
        std::function<QString()> title; // application title (icon text)
        std::function<void(const QString &)> setTitle;
        std::function<void()> applyAdjustments; // ApplyImageAdjustments
    };

    // Hooks onto a window's title and icon text.
    static WindowHooks hooksFor(QWidget &window, std::function<void()> applyAdjustments);

    // The three imagers must outlive the loader. Binds OnProgressStatus of Imager1 to
    // Imager1ProgressStatus and of DecoderImager to decoderProgress, and starts the worker, parked.
    // options is read on the user-interface thread at every ShowImage ("Use Work Thread").
    ImageLoader(imaging::TImager &imager1, imaging::WindowlessImager &decoderImager,
                imaging::WindowlessImager &unadjustedImager, const TOptions &options,
                WindowHooks hooks, QObject *parent = nullptr);
    // Silences a running load, stops the worker and waits for it (a silenced load stops
    // within a few rows). A process that is exiting should not get here: see prepareForExit.
    ~ImageLoader() override;

    // Shows the file at path, or clears the image for an empty path. The same path as the
    // last request does nothing. Decoding failures are silent. User-interface thread only.
    void ShowImage(const std::string &path);

    // Enables timUpdates (every 300 ms while a load is in progress), which copies the
    // progress texts onto the window in background mode.
    void startUpdates();
    bool updatesRunning() const { return timUpdates.isActive(); }

    // True while the worker waits for a request.
    bool isWorkerParked() const { return m_channel.isWorkerParked(); }

    // For the Options dialog: take and release DecodeLock to wait for a running decode.
    std::mutex &DecodeLock() { return m_decoder.lock(); }

    // Call once the event loop has returned and the settings are saved, right before the
    // process ends with _exit (or std::quick_exit) without destroying the window: sets the
    // process-wide exiting flag, silences the running load and releases a worker waiting
    // for its hand-over. The worker then never touches the window again.
    void prepareForExit();
    static bool exiting() { return s_exiting.load(); }

    // OnProgressStatus of Imager1: foreground loads, on the user-interface thread. The
    // worker's loads report through decoderProgress.
    void Imager1ProgressStatus(imaging::TImager *sender, int16_t iPercent);
    void timUpdatesTimer();

    // Snapshots for the window and for tests; each takes NameLock.
    std::string RequestedFile() const;
    std::string LoadingFile() const;
    QString PendingCaption() const;
    QString PendingTitle() const;

    // Number of images moved from DecoderImager into Imager1 so far, and of quick
    // previews among them (not counted as hand-overs).
    int handOverCount() const { return m_handOvers; }
    int previewCount() const { return m_previews; }

    // The image shown is a reduced decode standing in for the whole (a large JPEG fitted):
    // asks for the whole, which replaces it keeping the view. Imager1 asks by itself when it
    // would paint the stand-in larger than it is. False when nothing was asked.
    bool requestWholeImage();

    // Read-ahead, background mode only: once an image is on screen the worker decodes the
    // file this returns (empty: none) into a one-image cache, which ShowImage of that file
    // takes. The window sets it: the image entry below the selection, or the next slide.
    void setNextFileProvider(std::function<std::string()> provider);
    // Starts decoding path at once, before anything is shown (the file named on the command
    // line, while the window and the listing are still being made); ShowImage of it then
    // takes the result. Background mode only.
    void readAheadNow(const std::string &path);
    // The folder changed: forgets the cached image and cancels a read-ahead, unless its
    // file is directly in keepFolder (the new folder; empty keeps nothing).
    void dropReadAhead(const std::string &keepFolder = {}) { m_channel.dropReadAhead(keepFolder); }
    std::string readAheadFile() const { return m_channel.cachedFile(); }
    int readAheadsBegun() const { return m_channel.readAheadsBegun(); }
    int readAheadsDecoded() const { return m_channel.readAheadsDecoded(); }
    // After this long without a hand-over, spare image buffers are given back and, unless
    // kept, the cached image is dropped.
    static constexpr int kIdleReleaseMs = 10'000;
    void setKeepReadAheadWhenIdle(bool keep) { m_keepReadAheadWhenIdle = keep; }
    // What the decoded images held at once may take; default imaging::kImageBudgetBytes.
    void setImageBudget(std::int64_t bytes) { m_channel.setImageBudget(bytes); }

signals:
    // After a background image has been moved into Imager1 and adjusted.
    void imageHandedOver(const QString &path);
    // The file at path, still the one asked for, could not be shown; reason says why
    // without repeating the path. User-interface thread, after the area was emptied.
    void loadFailed(const std::string &path, const QString &reason);

private:
    void showInForeground(const std::string &path);
    bool HandOverImage(const LoadChannel::HandOver &offer);
    void releaseWhenIdle();
    void handOverRequested(); // the worker asked for the hand-over
    void showPreview(const LoadChannel::Preview &preview);
    bool putInImageArea(const QImage &image, const imaging::PaintReady &ready = {});
    // Where the worker's decodes will be shown fitted, told to the channel.
    void updateFitArea();
    void setCaptionAndTitle(const QString &caption, const QString &title);
    void reportFailure(const imaging::LoadFailure &failure);
    // OnProgressStatus of DecoderImager, on the worker, with the decoder leased.
    void decoderProgress(imaging::WindowlessImager &decoder, int16_t iPercent);

    imaging::TImager &Imager1;
    DecoderAccess m_decoder; // DecoderImager, reached only under DecodeLock
    imaging::WindowlessImager &UnadjustedImager;
    const TOptions &m_options;
    WindowHooks m_hooks;

    LoadChannel m_channel;
    bool m_stopping = false;
    int m_handOvers = 0;
    int m_previews = 0;
    std::uint64_t m_shownSerial = 0; // of the latest request whose image went on screen
    bool m_previewShown = false;     // the image shown is a quick preview
    std::function<std::string()> m_nextFile;
    bool m_keepReadAheadWhenIdle = false;
    QTimer m_idleRelease;

    QTimer timUpdates;
    bool m_updatesWanted = false; // startUpdates was called
    std::unique_ptr<QSocketNotifier> m_handOverNotifier;
    std::unique_ptr<TViewerThread> m_worker;
    imaging::AnimationPlayer m_animation; // the later frames of an animated image

    static std::atomic<bool> s_exiting;
};

} // namespace oxlume
