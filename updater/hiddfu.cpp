#include "hiddfu.h"

#include <droparea.h>

#include <QVBoxLayout>

HIDDfu::HIDDfu(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(tr("Updater"));
    resize(562, 287);
    m_dfuDropArea = new DropArea(this);
    m_dfuDropArea->setObjectName(QStringLiteral("dfuDropArea"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_dfuDropArea);
}
