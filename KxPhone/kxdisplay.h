#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "voip/device/videoframe.h"
#include "voip/device/videooutput.h"

class QImage;

/// A rectangle of the display canvas, in pixels; one of width or height 0 is not drawn.
struct KxRect
{
    unsigned x = 0;
    unsigned y = 0;
    unsigned width = 0;
    unsigned height = 0;
    bool drawable() const { return width > 0 && height > 0; }
    bool operator==(const KxRect&) const = default;
};

/// Where the pictures of a call go on the 1280 x 720 canvas, and in what order they are
/// drawn (the first always, the second over it when its rectangle is drawable).
struct KxLayout
{
    enum class Picture
    {
        Local,
        Remote,
        Content,
    };
    int number = 0; ///< 0 side-by-side, 1 remote full, 2 local full, 3 content full
    KxRect local;
    KxRect remote;
    KxRect content;
    Picture first = Picture::Remote;
    Picture second = Picture::Local;

    /// The layout `layout` with the picture-in-picture at `pip` (0 off, 1 top-right, 2
    /// bottom-right, 3 bottom-left, 4 top-left); a layout outside 0..3 is 0, and 3 (content
    /// full) without a presentation is 1.  Rectangles the layout does not name keep their
    /// values from `previous`.
    static KxLayout make(int layout, int pip, bool presentationActive, const KxLayout& previous);
    /// Whether `picture` is shown whole in its place (fitted, with black bars) rather than
    /// filling it: content always (a slide keeps its title), and both pictures side by side.
    bool fits(Picture picture) const
    {
        return picture == Picture::Content || number == 0;
    }
};

/// The display of the client: one thread, "Thread Display", that every 33 ms takes the
/// local picture, prepares the picture the encoder reads, composes the local, remote and
/// content pictures by the layout (given on a 1280 x 720 canvas) at the size of the visible
/// part of the output, and hands the output picture to the video output.  An output that
/// draws scenes (the GPU) is handed the pictures and their places instead, and the display
/// neither scales nor copies them for it.
///
/// Threads: the display thread runs the loop; media threads call readOutgoing and
/// writeReceived; the GUI thread calls applyLayout, resizeOutput, resetVideoFrames and
/// setActive.  `displayMutex_` guards the layout, the view and all the loop does between
/// taking and giving back the local picture; each of `outgoingMutex_`, `remoteMutex_` and
/// `contentMutex_` guards one picture.  Lock order: `displayMutex_`, then at most one of
/// the other three.
class KxDisplay
{
public:
    /// I420 helpers of the display, all on whole pictures (sizes in pixels, even).
    /// libyuv's I420Scale with `filter` (3: box); nothing when a pointer is null.
    static void scaleI420(const std::uint8_t* source, std::uint8_t* destination,
                          unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                          unsigned destinationHeight, int filter = 3);
    /// Fills the destination: same shape scales; another shape scales to cover and crops
    /// equal strips off two opposite sides (no black bars); equal heights crop or centre
    /// without scaling.
    static void scaleToFill(const std::uint8_t* source, std::uint8_t* destination,
                            unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                            unsigned destinationHeight, int filter = 3);
    /// Shows the whole source in the destination: scaled to fit, centred, on black bars.
    static void scaleToFit(const std::uint8_t* source, std::uint8_t* destination,
                           unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                           unsigned destinationHeight, int filter = 3);
    /// The part of a destination that a source fitted whole takes (centred, even edges).
    static KxRect fitPart(unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                          unsigned destinationHeight);
    /// The middle part of a source that has the destination's shape (even edges): what
    /// scaleToFill scales when the shapes differ.
    static KxRect coverPart(unsigned sourceWidth, unsigned sourceHeight, unsigned destinationWidth,
                            unsigned destinationHeight);
    /// Copies a picture unscaled into a larger one at (x, y), clipped to it.
    static void copyRect(const std::uint8_t* source, unsigned sourceWidth, unsigned sourceHeight,
                         std::uint8_t* destination, unsigned destinationWidth,
                         unsigned destinationHeight, unsigned x, unsigned y);
    /// Packed RGB (3 or 4 octets a pixel; `blueFirst`: blue at offset 0) to I420, with
    /// libyuv (video range), rows bottom-up when `flip`.
    static void rgbToI420(const std::uint8_t* rgb, std::uint8_t* destination, int bytesPerPixel,
                          bool blueFirst, unsigned width, unsigned height, bool flip);
    /// The largest 16:9 size on a 32 x 18 grid that fits.
    static std::pair<unsigned, unsigned> fitOutputSize(unsigned width, unsigned height);
    /// The I420 picture of `image` scaled to width x height (ignoring its shape).
    static std::vector<std::uint8_t> pictureOf(const QImage& image, unsigned width,
                                               unsigned height);

    static constexpr unsigned CanvasWidth = 1280;
    static constexpr unsigned CanvasHeight = 720;
    static constexpr std::chrono::milliseconds LoopInterval{33};

    /// What the loop asks of its owner.  Each is called on the display thread.
    enum class LocalPicture
    {
        None,
        New,
        Same
    };

    struct Hooks
    {
        /// Whether a call is active, and whether the main window is hidden.
        std::function<bool()> callActive;
        std::function<bool()> windowHidden;
        /// The display goes idle (no call, window hidden): close the local source.
        std::function<void()> goingIdle;
        /// Refreshes the local picture (called with the display lock held): `picture`
        /// and its size are the loop's; the hook replaces them with a new picture (New),
        /// or leaves them as they are (Same).  None: there is no source, and the no-input
        /// picture shows.
        std::function<LocalPicture(std::vector<std::uint8_t>& picture, unsigned& width,
                                   unsigned& height)>
            grabLocal;
    };

    explicit KxDisplay(Hooks hooks);
    ~KxDisplay();
    KxDisplay(const KxDisplay&) = delete;
    KxDisplay& operator=(const KxDisplay&) = delete;

    /// Starts the loop writing `outputWidth` x `outputHeight` pictures to `output`, with
    /// `background` behind everything and `noInput` standing for a missing local source
    /// (both already at the output size, I420).
    void start(std::shared_ptr<voip::VideoOutput> output, unsigned outputWidth,
               unsigned outputHeight, std::vector<std::uint8_t> background,
               std::vector<std::uint8_t> noInput);
    /// Ends the loop (waits for it).
    void stop();
    bool running() const { return thread_.joinable(); }

    /// Working or idle (the loop only waits); `active` true also leaves idleness.
    void setActive(bool active) { active_ = active; }
    bool active() const { return active_; }

    /// Sets the layout; the next loop paints the background once, then the pictures.
    KxLayout applyLayout(int layout, int pip, bool presentationActive);
    KxLayout layout() const;
    /// The visible part of the output (its top-left); false when it is larger than the
    /// output or unchanged.
    bool resizeOutput(unsigned width, unsigned height);
    std::pair<unsigned, unsigned> outputSize() const { return {outputWidth_, outputHeight_}; }
    std::pair<unsigned, unsigned> viewSize() const;
    /// The size of the picture the encoder reads, and of the far end's last picture
    /// (0 x 0 when none came since the last reset).
    std::pair<unsigned, unsigned> outgoingSize() const;
    std::pair<unsigned, unsigned> remoteSize() const;
    /// Every picture to a near-black grey: outgoing at `outgoingWidth` x `outgoingHeight`,
    /// remote and content at 1280 x 720; the background shows for one loop.
    void resetVideoFrames(unsigned outgoingWidth, unsigned outgoingHeight);
    void setOutgoingSize(unsigned width, unsigned height);

    // --- media threads ---

    /// The picture for the encoder, at the outgoing size.
    void readOutgoing(voip::VideoFrame& picture);
    /// A decoded picture of the far end (main video, or presentation content).
    void writeReceived(const voip::VideoFrame& picture, bool content);

    /// Holds the display lock: no local picture is taken while it is held (the source
    /// opens and closes under it).
    std::unique_lock<std::mutex> lockDisplay() { return std::unique_lock(displayMutex_); }

    /// Loops run (tests and figures).
    std::uint64_t loops() const { return loops_; }
    /// How long the latest loops took to compose (ms, oldest first; at most 256).
    std::vector<double> composeTimes() const;

private:
    using SharedPicture = std::shared_ptr<const voip::VideoFrame>;

    void run();
    /// The picture the encoder reads, made from the local picture (display lock held).
    void prepareOutgoing();
    /// The far end's latest picture, remote or content.
    SharedPicture farPicture(KxLayout::Picture which) const;
    /// The scene of the pictures by the layout (on the canvas), for an output that draws
    /// scenes; `call`: in a call, else the local picture alone.
    void buildScene(bool call, bool localChanged);
    /// Composes the output picture; false when it would be the one already shown.
    bool compose();
    /// A rectangle of the 1280 x 720 layout, in the view's pixels (even edges).
    KxRect toView(const KxRect& rect) const;

    Hooks hooks_;
    std::shared_ptr<voip::VideoOutput> output_;
    unsigned outputWidth_ = 0;
    unsigned outputHeight_ = 0;
    std::vector<std::uint8_t> background_;
    std::vector<std::uint8_t> noInput_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> active_{true};
    std::atomic<std::uint64_t> loops_{0};
    std::mutex sleepMutex_;
    std::condition_variable wake_;
    mutable std::mutex timesMutex_; // guards composeTimes_
    std::vector<double> composeTimes_;

    mutable std::mutex displayMutex_; // guards the members below
    KxLayout layout_;
    bool layoutChanged_ = true;
    unsigned viewWidth_ = 0;
    unsigned viewHeight_ = 0;
    std::vector<std::uint8_t> view_;
    bool sceneReady_ = false;  // the call's background is on the view
    voip::VideoFrame display_; // the output picture
    std::vector<std::uint8_t> local_;
    bool localIsNoInput_ = true;
    bool dirty_ = true;           // the output must be drawn again whatever comes
    bool composedInCall_ = false; // what the output shows was drawn for a call
    unsigned localWidth_ = 0;
    unsigned localHeight_ = 0;
    std::vector<std::uint8_t> localScaled_, remoteScaled_, contentScaled_;

    mutable std::mutex outgoingMutex_; // guards outgoing_ and its size
    std::vector<std::uint8_t> outgoing_;
    bool outgoingFresh_ = true; // its size changed since it was last drawn
    std::uint64_t outgoingSerial_ = 1; // a new number for each new picture
    unsigned outgoingWidth_ = 0;
    unsigned outgoingHeight_ = 0;

    // The far end's pictures: each new one a picture of its own, so that an output that
    // draws scenes keeps it without a copy.
    mutable std::mutex remoteMutex_; // guards remote_
    SharedPicture remote_;
    bool remoteFresh_ = true;     // not drawn yet
    bool remoteReceived_ = false; // a picture came since the last reset

    mutable std::mutex contentMutex_; // guards content_
    SharedPicture content_;
    bool contentFresh_ = true; // not drawn yet

    // Drawing scenes (the output puts the pictures together): these and `scene_` belong
    // to the display thread.
    bool scenes_ = false;
    SharedPicture backgroundPicture_, noInputPicture_, localPicture_;
    SharedPicture blackPicture_; ///< behind a picture fitted whole: its bars
    voip::VideoScene scene_;
};
