// Fuzzes the WMF decoder: sniff, header and the record player of every input.

#include "FuzzDecoder.h"
#include "imaging/decoders/Wmf.h"

#include <QGuiApplication>

#include <cstdlib>

// Text records paint with fonts, which need a GUI application; no display is needed.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "fuzz_wmf";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = new QGuiApplication(argc, argv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const oxlume::imaging::DecoderEntry decoder{
        "WMF", oxlume::imaging::sniffWmf, oxlume::imaging::readWmfInfo, oxlume::imaging::decodeWmf};
    return oxlume::fuzz::decodeOnce(data, size, decoder);
}
