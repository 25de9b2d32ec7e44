#pragma once

#include <QPointF>
#include <map>
#include <memory>
#include <vector>

#include "ui/kit/touch.h"

namespace strombel::ui::kit {

class GestureRecognizer;
class View;

/// Routes fingers to views: a touch goes to the view hit where it began (or the
/// nearest ancestor that handles touches) and stays with it until it ends; the
/// gesture recognisers of that view and its ancestors watch it too. Any number of
/// touches may be down at once, each on its own view.
class TouchDispatcher {
  public:
    explicit TouchDispatcher(View* root = nullptr) : root_(root) {}
    void setRoot(View* root);
    View* root() const { return root_; }

    /// Points are in the root's points. Unknown ids are ignored by the last three.
    void begin(int id, const QPointF& point);
    void move(int id, const QPointF& point);
    void end(int id, const QPointF& point);
    void cancel(int id);
    void cancelAll();

    /// The view a live touch belongs to, or null.
    View* viewOf(int id) const;
    /// What a touch beginning at `point` would go to: the view that takes it,
    /// else the view hit (whose ancestors' recognisers watch it), else null.
    View* targetAt(const QPointF& point) const;
    size_t activeTouchCount() const { return touches_.size(); }

  private:
    struct Active {
        Touch touch;
        std::weak_ptr<void> viewAlive;
        bool cancelledInView = false;
        std::vector<GestureRecognizer*> recognizers;
        std::vector<std::weak_ptr<void>> recognizerOwners;
    };
    bool viewAlive(const Active& active) const { return !active.viewAlive.expired(); }
    void deliver(Active& active, Touch::Phase phase);
    /// The view of touch `id` gets touchCancelled now; its recognisers go on.
    void cancelInView(int id);

    View* root_;
    std::map<int, Active> touches_;
};

}  // namespace strombel::ui::kit
