// config.dat and init.dat as the programs read them at start: whatever a damaged or
// foreign file holds, reading ends, and what was read is written back and read again
// unchanged.

#include "fuzzcheck.h"

#include "config/paramfile.h"

namespace {

bool sameParams(const QMap<int, QVariant> &a, const QMap<int, QVariant> &b)
{
    if (a.keys() != b.keys())
        return false;
    for (auto it = a.cbegin(); it != a.cend(); ++it) {
        const QVariant &other = b.value(it.key());
        if (it->typeId() != other.typeId() || *it != other)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ParamFile::Contents read = ParamFile::decode(Fuzz::bytesOf(data, size));
    for (const QVariant &value : read.params)
        FUZZ_CHECK(value.typeId() == QMetaType::Int || value.typeId() == QMetaType::QString);

    const QByteArray written = ParamFile::encode(read.params, read.strings);
    const ParamFile::Contents again = ParamFile::decode(written);
    FUZZ_CHECK(sameParams(again.params, read.params));
    FUZZ_CHECK(again.strings == read.strings);
    FUZZ_CHECK(ParamFile::encode(again.params, again.strings) == written);
    return 0;
}
