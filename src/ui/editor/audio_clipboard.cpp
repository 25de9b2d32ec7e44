#include "ui/editor/audio_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

#include "editor/audio_files.h"

namespace strombel::editor {

platform::Result<void> offerAudioOnClipboard(const std::filesystem::path& snapshot) {
    auto data = std::make_unique<QMimeData>();
    std::error_code failed;
    const uint64_t size = std::filesystem::file_size(snapshot, failed);
    if (failed) {
        return platform::Error::make(kRegularFileErrorDomain, RegularFileNotOpened,
                                     snapshot.filename().string() + ": " + failed.message());
    }
    if (size <= kMaxClipboardBytes) {
        platform::Result<std::vector<uint8_t>> bytes = readRegularFile(snapshot, kMaxClipboardBytes);
        if (!bytes) return std::move(bytes).error();
        data->setData("audio/wav",
                      QByteArray(reinterpret_cast<const char*>(bytes->data()), qsizetype(bytes->size())));
    }
    data->setUrls({QUrl::fromLocalFile(QString::fromStdString(snapshot.string()))});
    QGuiApplication::clipboard()->setMimeData(data.release(), QClipboard::Clipboard);
    return {};
}

std::optional<ClipboardAudio> audioOnClipboard() {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data) return std::nullopt;
    for (const char* type : {"audio/wav", "audio/x-wav", "audio/wave", "audio/vnd.wave"}) {
        if (!data->hasFormat(type)) continue;
        const QByteArray bytes = data->data(type);
        ClipboardAudio audio;
        audio.bytes.assign(bytes.begin(), bytes.end());
        return audio;
    }
    if (!data->hasFormat("text/uri-list")) return std::nullopt;
    ClipboardAudio audio;
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty()) {
        audio.problem = "the clipboard names nothing that can be pasted";
    } else if (!urls.first().isLocalFile()) {
        audio.problem = "the clipboard names something that is not a file on this computer";
    } else {
        audio.file = urls.first().toLocalFile().toStdString();
    }
    return audio;
}

}  // namespace strombel::editor
