// Counts the paint events a widget receives, to tell a window that has been
// drawn from one that has only been asked to be.
#pragma once

#include <QEvent>
#include <QObject>

namespace bench {

class PaintCounter : public QObject {
public:
    long paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace bench
