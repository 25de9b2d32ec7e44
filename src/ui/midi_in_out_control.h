#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/gui_type.h"
#include "ui/kit/control.h"
#include "ui/kit/image_view.h"
#include "ui/kit/table_view.h"

namespace strombel::ui {

/// One MIDI port as the ports panel shows it: its name and whether notes and
/// clock are taken from it (a source) or sent to it (a destination).
struct MidiPortRow {
    std::string name;
    bool processNotes = false;
    bool processTempo = false;
};

/// Told when the hub's sources or destinations change. Main loop only.
class MidiPortsObserver {
public:
    virtual ~MidiPortsObserver() = default;
    virtual void sourcePortsChanged() = 0;
    virtual void destinationPortsChanged() = 0;
};

/// The MIDI hub's ports as the ports panel uses them. Main loop only.
class MidiPorts {
public:
    virtual ~MidiPorts() = default;
    /// Asked afresh every time: the panel keeps no copy.
    virtual std::vector<MidiPortRow> sources() const = 0;
    virtual std::vector<MidiPortRow> destinations() const = 0;
    virtual void receiveNotesFrom(const std::string& name, bool enabled) = 0;
    /// The hub follows one clock source: enabling one disables the others.
    virtual void receiveClockFrom(const std::string& name, bool enabled) = 0;
    virtual void sendNotesTo(const std::string& name, bool enabled) = 0;
    virtual void sendClockTo(const std::string& name, bool enabled) = 0;
    /// False while there is no MIDI system (no ALSA sequencer, no JACK server):
    /// the lists are empty for that reason, and say so.
    virtual bool midiSystemAvailable() const { return true; }
    /// The hub has one ports delegate: the last that took the role.
    virtual MidiPortsObserver* midiPortsDelegate() const = 0;
    virtual void setMidiPortsDelegate(MidiPortsObserver* observer) = 0;
};

/// The ports panel of the input/output panel: "MIDI RECEIVE" lists the sources,
/// "MIDI SEND" the destinations, each row with a NOTES and a TEMPO switch that
/// show and set what the hub does with that port. It is the hub's ports delegate
/// while it lives, and gives the role up when it goes only if it still holds it.
class MidiInOutControl : public kit::ImageView, public kit::TableViewDataSource, public kit::TableViewDelegate,
                         public MidiPortsObserver {
public:
    static constexpr int kNameTag = 50, kNotesTag = 100, kTempoTag = 200;
    static constexpr const char* kSourcesCellId = "SOURCES_TABLECELL";
    static constexpr const char* kDestinationsCellId = "DESTINATION_TABLECELL";

    MidiInOutControl(GuiType guiType, MidiPorts& ports);
    ~MidiInOutControl() override;

    /// Makes the panel the hub's ports delegate again (its screen came back) and
    /// shows the lists as they are now.
    void takePortsDelegate();

    kit::TableView* sourcesTableView() const { return sourcesTableView_; }
    kit::TableView* destinationsTableView() const { return destinationsTableView_; }
    int32_t tableCellHeight() const { return tableCellHeight_; }
    int32_t buttonSpace() const { return buttonSpace_; }

    void notesBtnPressed(kit::Button& button);
    void tempoBtnPressed(kit::Button& button);

    // MidiPortsObserver
    void sourcePortsChanged() override;
    void destinationPortsChanged() override;

    // kit::TableViewDataSource and kit::TableViewDelegate
    int numberOfRows(kit::TableView& table, int section) override;
    std::unique_ptr<kit::TableViewCell> cellForRow(kit::TableView& table, const kit::IndexPath& path) override;
    double heightForRow(kit::TableView&, const kit::IndexPath&) override { return tableCellHeight_; }

private:
    std::unique_ptr<kit::TableViewCell> rowForTable(kit::TableView& table, const MidiPortRow* port,
                                                    const QString& cellId);
    /// The port of the row holding `button`, or none when the row is no longer one
    /// of the hub's ports (the list is then reloaded).
    std::optional<MidiPortRow> portOf(kit::Button& button, bool& isSource);

    MidiPorts& ports_;
    GuiType guiType_;
    int32_t margin_ = 0, portNameMarginLeft_ = 0, tableWidth_ = 0, tableHeight_ = 0, tableCellHeight_ = 0,
            fontSize_ = 0, labelY_ = 0, buttonSpace_ = 0;
    kit::TableView* sourcesTableView_ = nullptr;
    kit::TableView* destinationsTableView_ = nullptr;
};

}  // namespace strombel::ui
