#include "session.h"

#include "configuration.h"
#include "paramfile.h"

Session *Session::session = nullptr;

Session::Session(const char *name)
{
    Configuration::getCurrentConfig();
    fileName = QString::fromLocal8Bit(*Configuration::ConfigDir) + QString::fromLocal8Bit(name);

    ParamFile::Contents contents;
    if (ParamFile::read(fileName, &contents) == ParamFile::ReadStatus::Read) {
        params = contents.params;
        recentFiles = contents.strings;
    }
}

Session *Session::getSession()
{
    if (!session)
        session = new Session("init.dat");
    return session;
}

bool Session::save()
{
    return ParamFile::write(fileName, paramMap(), recentFiles);
}
