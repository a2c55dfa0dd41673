#include "ui/widgetinfo.h"

#include <QApplication>
#include <QDate>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextStream>
#include <QVBoxLayout>

#include "KxPhone/buildinfo.h"
#include "ui/language.h"

WidgetInfo::WidgetInfo(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
    setWindowTitle(tr("info"));
    setMinimumWidth(500);
    auto* layout = new QVBoxLayout(this);
    auto* about = new QGroupBox(tr("about"));
    about->setObjectName("boxInfo");
    auto* aboutLayout = new QVBoxLayout(about);
    aboutLayout->setAlignment(Qt::AlignTop);
    layout->addWidget(about);

    auto* product = new QLabel(tr("product") + ": Kestrovia");
    product->setAlignment(Qt::AlignCenter);
    aboutLayout->addWidget(product);
    const QDate built = QDate::fromString(KX_BUILD_DATE, Qt::ISODate);
    auto* version = new QLabel(tr("version") + ": " + KX_VERSION + " (" + tr("built-on") + " " +
                               kxlanguage::locale().toString(built, QLocale::ShortFormat) + ")");
    version->setAlignment(Qt::AlignCenter);
    aboutLayout->addWidget(version);

    auto* row = new QWidget();
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->setAlignment(Qt::AlignCenter);
    licensesButton_ = new QPushButton(tr("open-source-licenses"));
    licensesButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(licensesButton_, &QPushButton::clicked, this, &WidgetInfo::onViewLicense);
    rowLayout->addWidget(licensesButton_);
    aboutLayout->addWidget(row);
}

void WidgetInfo::openModal()
{
    if (isVisible())
        return;
    viewLicenses_ = false;
    exec();
    if (viewLicenses_)
        showLicenses();
}

void WidgetInfo::onViewLicense()
{
    viewLicenses_ = true;
    accept();
}

QString WidgetInfo::licenseFilePath()
{
    return QApplication::applicationDirPath() + "/LICENSES_VI.txt";
}

void WidgetInfo::showLicenses()
{
    QDialog viewer(nullptr, Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    viewer.setObjectName("licenseViewer");
    viewer.setWindowTitle(tr("license"));
    viewer.setMinimumSize(700, 500);
    auto* layout = new QVBoxLayout(&viewer);
    auto* text = new QPlainTextEdit();
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QString path = licenseFilePath();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream stream(&file);
        stream.setCodec("UTF-8");
        text->setPlainText(stream.readAll());
    } else {
        text->setPlainText(tr("license-file-not-found") + ":\n" + path);
    }
    layout->addWidget(text);

    auto* row = new QWidget();
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->setAlignment(Qt::AlignRight);
    auto* close = new QPushButton(tr("close"));
    close->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(close, &QPushButton::clicked, &viewer, &QDialog::accept);
    rowLayout->addWidget(close);
    layout->addWidget(row);
    viewer.exec();
}
