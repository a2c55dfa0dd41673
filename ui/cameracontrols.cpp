#include "ui/cameracontrols.h"

#include <iostream>

#include <linux/videodev2.h>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QVBoxLayout>

#include "KxPhone/kxmanager.h"
#include "ui/uicontext.h"

namespace {

/// Our captions of the controls most cameras have; the others keep the driver's name.
const char* captionKey(std::uint32_t id)
{
    switch (id) {
    case V4L2_CID_BRIGHTNESS:
        return "brightness";
    case V4L2_CID_CONTRAST:
        return "contrast";
    case V4L2_CID_SATURATION:
        return "saturation";
    case V4L2_CID_HUE:
        return "hue";
    case V4L2_CID_SHARPNESS:
        return "sharpness";
    case V4L2_CID_GAIN:
        return "gain";
    case V4L2_CID_AUTO_WHITE_BALANCE:
        return "auto-white-balance";
    case V4L2_CID_WHITE_BALANCE_TEMPERATURE:
        return "white-balance-temperature";
    case V4L2_CID_POWER_LINE_FREQUENCY:
        return "power-line-frequency";
    case V4L2_CID_BACKLIGHT_COMPENSATION:
        return "backlight-compensation";
    case V4L2_CID_EXPOSURE_AUTO:
        return "exposure-mode";
    case V4L2_CID_EXPOSURE_ABSOLUTE:
        return "exposure-time";
    case V4L2_CID_FOCUS_AUTO:
        return "auto-focus";
    case V4L2_CID_FOCUS_ABSOLUTE:
        return "focus";
    case V4L2_CID_ZOOM_ABSOLUTE:
        return "zoom";
    case V4L2_CID_PAN_ABSOLUTE:
        return "pan";
    case V4L2_CID_TILT_ABSOLUTE:
        return "tilt";
    default:
        return nullptr;
    }
}

} // namespace

CameraControlsDialog::CameraControlsDialog(std::unique_ptr<voip::V4l2Controls> controls,
                                           const QString& camera, QWidget* parent)
    : QDialog(parent)
    , controls_(std::move(controls))
    , camera_(camera)
{
    setObjectName("cameraControls");
    build();
    setTexts();
    refresh();
}

CameraControlsDialog::~CameraControlsDialog() = default;

bool CameraControlsDialog::offeredFor(const UiContext& context, const QComboBox& device)
{
    // Items 0 and 1 are "no device" and the desktop; cameras follow.
    const KxManager* manager = context.manager();
    return manager && device.currentIndex() >= 2 &&
           manager->cameraDriver() == voip::kV4l2VideoDriver;
}

CameraControlsDialog* CameraControlsDialog::openFor(const UiContext& context,
                                                    const QString& camera, QWidget* parent)
{
    KxManager* manager = context.manager();
    if (!manager)
        return nullptr;
    QString error;
    auto controls = manager->cameraControls(camera, error);
    if (!controls) {
        std::cerr << "Camera settings: " << error.toStdString() << std::endl;
        auto* box = new QMessageBox(QMessageBox::Warning, camera,
                                    tr("camera-not-opened").arg(error), QMessageBox::Ok, parent);
        box->setObjectName("cameraProblem");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return nullptr;
    }
    auto* dialog = new CameraControlsDialog(std::move(controls), camera, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    return dialog;
}

void CameraControlsDialog::build()
{
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    for (auto& control : controls_->controls()) {
        const std::uint32_t id = control.id;
        QWidget* editor = nullptr;
        switch (control.kind) {
        case voip::V4l2Control::Kind::Integer: {
            auto* slider = new QSlider(Qt::Horizontal);
            slider->setRange(control.minimum, control.maximum);
            slider->setSingleStep(control.step);
            slider->setPageStep(std::max(control.step, (control.maximum - control.minimum) / 10));
            auto* value = new QLabel;
            value->setMinimumWidth(value->fontMetrics().horizontalAdvance("-00000"));
            value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            values_[id] = value;
            connect(slider, &QSlider::valueChanged, this, [this, id](int v) { apply(id, v); });
            editor = slider;
            break;
        }
        case voip::V4l2Control::Kind::Boolean: {
            auto* box = new QCheckBox;
            connect(box, &QCheckBox::toggled, this, [this, id](bool on) { apply(id, on); });
            editor = box;
            break;
        }
        case voip::V4l2Control::Kind::Menu: {
            auto* list = new QComboBox;
            for (const auto& [value, name] : control.menu)
                list->addItem(QString::fromStdString(name), value);
            connect(list, qOverload<int>(&QComboBox::activated), this,
                    [this, id, list](int index) { apply(id, list->itemData(index).toInt()); });
            editor = list;
            break;
        }
        case voip::V4l2Control::Kind::Button: {
            auto* button = new QPushButton(captionFor(control));
            connect(button, &QPushButton::clicked, this, [this, id] { apply(id, 0); });
            editor = button;
            break;
        }
        }
        editor->setObjectName(QString("control%1").arg(id));
        editors_[id] = editor;
        if (control.kind == voip::V4l2Control::Kind::Button) {
            form->addRow(editor);
        } else {
            auto* caption = new QLabel;
            caption->setWordWrap(true);
            captions_[id] = caption;
            if (auto value = values_.find(id); value != values_.end()) {
                auto* row = new QHBoxLayout;
                row->addWidget(editor, 1);
                row->addWidget(value->second);
                form->addRow(caption, row);
            } else {
                form->addRow(caption, editor);
            }
        }
        shown_[id] = std::move(control);
    }

    auto* inner = new QWidget;
    inner->setLayout(form);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(inner);

    none_ = new QLabel;
    none_->setWordWrap(true);
    none_->setVisible(shown_.empty());
    scroll->setVisible(!shown_.empty());
    problem_ = new QLabel;
    problem_->setObjectName("cameraControlsProblem");
    problem_->setWordWrap(true);
    problem_->setStyleSheet("color: #e05050;");
    problem_->hide();

    reset_ = new QPushButton;
    reset_->setEnabled(!shown_.empty());
    close_ = new QPushButton;
    connect(reset_, &QPushButton::clicked, this, &CameraControlsDialog::resetAll);
    connect(close_, &QPushButton::clicked, this, &QDialog::close);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(reset_);
    buttons->addStretch(1);
    buttons->addWidget(close_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(none_);
    layout->addWidget(scroll, 1);
    layout->addWidget(problem_);
    layout->addLayout(buttons);
    resize(420, std::min(560, 120 + 36 * int(shown_.size())));
}

QString CameraControlsDialog::captionFor(const voip::V4l2Control& control)
{
    if (const char* key = captionKey(control.id))
        return tr(key);
    return QString::fromStdString(control.name);
}

void CameraControlsDialog::setTexts()
{
    setWindowTitle(tr("camera-settings").arg(camera_));
    none_->setText(tr("no-controls"));
    reset_->setText(tr("reset"));
    close_->setText(tr("close"));
    for (const auto& [id, control] : shown_) {
        if (auto caption = captions_.find(id); caption != captions_.end())
            caption->second->setText(captionFor(control));
        else if (auto* button = qobject_cast<QPushButton*>(editors_.at(id)))
            button->setText(captionFor(control));
    }
}

void CameraControlsDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        setTexts();
}

QWidget* CameraControlsDialog::editor(std::uint32_t id) const
{
    const auto found = editors_.find(id);
    return found == editors_.end() ? nullptr : found->second;
}

void CameraControlsDialog::refresh()
{
    refreshing_ = true;
    for (const auto& control : controls_->controls()) {
        const auto found = editors_.find(control.id);
        if (found == editors_.end())
            continue;
        QWidget* editor = found->second;
        editor->setEnabled(!control.readOnly && !control.inactive);
        if (auto caption = captions_.find(control.id); caption != captions_.end())
            caption->second->setEnabled(editor->isEnabled());
        if (auto* slider = qobject_cast<QSlider*>(editor)) {
            slider->setValue(control.value);
            values_.at(control.id)->setText(QString::number(control.value));
        } else if (auto* box = qobject_cast<QCheckBox*>(editor)) {
            box->setChecked(control.value != 0);
        } else if (auto* list = qobject_cast<QComboBox*>(editor)) {
            list->setCurrentIndex(list->findData(control.value));
        }
        shown_[control.id] = control;
    }
    refreshing_ = false;
}

void CameraControlsDialog::apply(std::uint32_t id, int value)
{
    if (refreshing_)
        return;
    const auto done = controls_->set(id, value);
    if (done) {
        problem_->hide();
    } else {
        const auto control = shown_.find(id);
        problem_->setText(
            tr("not-changed")
                .arg(control == shown_.end() ? QString::number(id) : captionFor(control->second),
                     QString::fromStdString(done.error().message)));
        problem_->show();
    }
    // A number shows the value the camera took (fitted to its step) without reading every
    // control again at each step of a slider; a switch or a choice may make others active
    // or inactive (manual exposure frees the exposure time), so all are read again.
    const auto control = shown_.find(id);
    if (done && control != shown_.end() && control->second.kind == voip::V4l2Control::Kind::Integer) {
        refreshing_ = true;
        static_cast<QSlider*>(editors_.at(id))->setValue(done.value());
        values_.at(id)->setText(QString::number(done.value()));
        control->second.value = done.value();
        refreshing_ = false;
        return;
    }
    refresh();
}

void CameraControlsDialog::resetAll()
{
    const auto done = controls_->reset();
    problem_->setVisible(!done);
    if (!done)
        problem_->setText(tr("reset-incomplete").arg(QString::fromStdString(done.error().message)));
    refresh();
}
