#include "gui/field_wheel.h"

#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

namespace vs::gui {
namespace {

// Notches of one gesture come a few tens of milliseconds apart.
constexpr qint64 kGestureMs = 500;

class WheelGuard : public QObject {
public:
    WheelGuard(QObject* owner, QAbstractScrollArea* page) : QObject(owner), page_(page) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Wheel) {
            return false;
        }
        // A turn begun over a caption or a gap reaches the page itself.
        if (page_ != nullptr && watched == page_->viewport()) {
            sincePageTurned_.start();
            return false;
        }
        const bool scrolling =
            sincePageTurned_.isValid() && sincePageTurned_.elapsed() < kGestureMs;
        if (static_cast<QWidget*>(watched)->hasFocus() && !scrolling) {
            return false;
        }
        if (page_ != nullptr) {
            QCoreApplication::sendEvent(page_->viewport(), event);  // which starts the turn
        }
        return true;
    }

private:
    QAbstractScrollArea* page_;
    QElapsedTimer sincePageTurned_;
};

}  // namespace

void KeepTheWheelOffFields(QWidget& fields, QAbstractScrollArea* page) {
    auto* guard = new WheelGuard(&fields, page);
    if (page != nullptr) {
        page->viewport()->installEventFilter(guard);
    }
    for (QWidget* field : fields.findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractSpinBox*>(field) != nullptr ||
            qobject_cast<QComboBox*>(field) != nullptr) {
            field->setFocusPolicy(Qt::StrongFocus);  // the wheel gives no focus
            field->installEventFilter(guard);
        }
    }
}

}  // namespace vs::gui
