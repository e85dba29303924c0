#pragma once
// A full-window overlay holding one setup page centred on a translucent veil (the stand-in for
// an ultra-thin material). It covers its host, follows the host's size and swallows input so
// that nothing beneath can be used while it is shown.

#include <QWidget>

namespace quorvale::ui {

class PageOverlay : public QWidget {
    Q_OBJECT
public:
    // The overlay covers `host` (its parent) and shows `page` centred. It starts hidden.
    PageOverlay(QWidget* page, QWidget* host);

    QWidget* page() const { return content; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* content;
};

}  // namespace quorvale::ui
