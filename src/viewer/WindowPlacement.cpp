#include "viewer/WindowPlacement.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace oxlume {

QRect firstStartGeometry(const QRect &available, QSize minimum)
{
    const QSize size(std::max(minimum.width(), available.width() * 2 / 3),
                     std::max(minimum.height(), available.height() * 2 / 3));
    QRect geometry(QPoint(0, 0), size);
    geometry.moveCenter(available.center());
    return geometry;
}

std::string formatPlacement(const SavedPlacement &placement)
{
    const QRect &g = placement.geometry;
    return std::to_string(g.x()) + ',' + std::to_string(g.y()) + ',' + std::to_string(g.width()) +
           ',' + std::to_string(g.height()) + ',' + (placement.maximised ? '1' : '0');
}

std::optional<SavedPlacement> parsePlacement(const std::string &text)
{
    std::vector<int> numbers;
    const char *at = text.data();
    const char *const end = text.data() + text.size();
    while (numbers.size() < 5) {
        int value = 0;
        const auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc())
            return std::nullopt;
        numbers.push_back(value);
        at = next;
        if (numbers.size() < 5) {
            if (at == end || *at != ',')
                return std::nullopt;
            ++at;
        }
    }
    if (at != end || numbers[2] <= 0 || numbers[3] <= 0 || (numbers[4] != 0 && numbers[4] != 1))
        return std::nullopt;
    return SavedPlacement{QRect(numbers[0], numbers[1], numbers[2], numbers[3]), numbers[4] == 1};
}

QRect pulledOnScreen(const QRect &geometry, const QList<QRect> &screens)
{
    if (screens.isEmpty())
        return geometry;
    // The screen that shows most of the window, if one shows enough of it to grab.
    constexpr int kVisible = 64;
    const QRect *home = nullptr;
    qint64 homeArea = -1;
    for (const QRect &screen : screens) {
        const QRect common = screen.intersected(geometry);
        const qint64 area = qint64(common.width()) * common.height();
        if (common.width() >= std::min(kVisible, geometry.width()) &&
            common.height() >= std::min(kVisible, geometry.height()) && area > homeArea) {
            home = &screen;
            homeArea = area;
        }
    }
    if (!home) {
        const QRect &screen = screens.front();
        QRect pulled(QPoint(0, 0), geometry.size().boundedTo(screen.size()));
        pulled.moveCenter(screen.center());
        return pulled;
    }
    if (geometry.width() <= home->width() && geometry.height() <= home->height())
        return geometry;
    // Stored at another scale: larger than the screen it is on, so fitted into it whole.
    return keptInside(geometry, *home);
}

QRect keptInside(const QRect &geometry, const QRect &area)
{
    const QSize size = geometry.size().boundedTo(area.size());
    const int left = std::clamp(geometry.left(), area.left(), area.right() - size.width() + 1);
    const int top = std::clamp(geometry.top(), area.top(), area.bottom() - size.height() + 1);
    return {QPoint(left, top), size};
}

} // namespace oxlume
