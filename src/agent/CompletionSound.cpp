#include "agent/CompletionSound.h"

#include <QSoundEffect>
#include <QUrl>

void CompletionSound::play()
{
    if (!m_effect) {
        m_effect = new QSoundEffect(this);
        m_effect->setSource(QUrl(QStringLiteral("qrc:/agent/resources/chime.wav")));
        m_effect->setVolume(0.6f);
    }
    // A chime that has not finished loading starts as soon as it has (QSoundEffect plays once
    // loaded); one that is still ringing starts again.
    m_effect->play();
}
