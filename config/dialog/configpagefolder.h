#pragma once

#include "configpage.h"

// Settings page of the folder listing: plain table or thumbnails.
class ConfigPageFolder : public ConfigPage
{
    Q_OBJECT

public:
    explicit ConfigPageFolder(QWidget *parent);

private Q_SLOTS:
    void viewChanged(int state);
};
