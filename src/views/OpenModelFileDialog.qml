import QtQuick
import QtQuick.Dialogs

// Picks a GGUF file on disk and hands it to the model library, which adds it to "My models"
// where it lies. `problem` holds why the last file could not be used; empty when it was added.
FileDialog {
    id: dialog
    objectName: "openModelFileDialog"

    required property QtObject modelManager
    property string problem: ""

    signal added()

    title: "Open a GGUF file…"
    fileMode: FileDialog.OpenFile
    nameFilters: ["GGUF models (*.gguf)"]
    onAccepted: {
        problem = modelManager.openModelFile(selectedFile)
        if (problem === "")
            added()
    }
}
