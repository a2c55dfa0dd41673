#pragma once

#include <QDialog>

class QPushButton;

/// The Info dialog: product and version, and the way to the licence texts installed
/// beside the program.
class WidgetInfo : public QDialog
{
    Q_OBJECT

public:
    WidgetInfo(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

    /// Runs the dialog modally (unless it is open already), then the licence viewer when
    /// the user asked for it.
    void openModal();
    /// Builds and runs the licence viewer for the file beside the program.
    void showLicenses();
    /// The licence file the viewer shows.
    static QString licenseFilePath();
    bool viewLicenses() const { return viewLicenses_; }
    QPushButton* licensesButton() const { return licensesButton_; }

public slots:
    void onViewLicense();

private:
    bool viewLicenses_ = false;
    QPushButton* licensesButton_ = nullptr;
};
