#pragma once

#include "configpage.h"

// Settings page of the folder listing: plain table or thumbnails, the listing for phones,
// and files that open in the browser.
class ConfigPageFolder : public ConfigPage
{
    Q_OBJECT

public:
    explicit ConfigPageFolder(QWidget *parent);

private Q_SLOTS:
    void viewChanged(int state);
    void phoneListingChanged(int state);
    void inlineChanged(int state);

private:
    // An opt-in is stored only while it is on, so unchecking it leaves the file as
    // before.
    void setOptIn(int id, int state);
};
