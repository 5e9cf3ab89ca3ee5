#pragma once

#include <QObject>

class QSoundEffect;

// The short chime played when a reply is complete, in place of the system sound "Tink", which
// only exists on macOS; the chime is our own (see sound/make_chime.py). The effect is created on
// first use and plays asynchronously; without a sound device it simply stays silent.
class CompletionSound : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    void play();

private:
    QSoundEffect *m_effect = nullptr;
};
