#include "tray/accessible.h"

#include <gtk/gtk-a11y.h>

#include <memory>
#include <string>
#include <vector>

namespace vistrel::tray {
namespace {

struct CanvasData {
  CanvasHooks hooks;
  bool listened = false;
};

CanvasData* DataOf(GtkWidget* canvas) {
  return canvas ? static_cast<CanvasData*>(g_object_get_data(G_OBJECT(canvas), "vistrel-canvas"))
                : nullptr;
}

// Object references, released with the owner.
struct Children {
  Children() = default;
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;
  ~Children() {
    for (AtkObject* child : list) g_object_unref(child);
  }
  std::vector<AtkObject*> list;
};

// What one child object shows; owned by its object.
struct NodeState {
  NodeState() { g_weak_ref_init(&canvas, nullptr); }
  NodeState(const NodeState&) = delete;
  NodeState& operator=(const NodeState&) = delete;
  ~NodeState() { g_weak_ref_clear(&canvas); }

  AccessibleNode node;
  bool focused = false;
  int index = 0;
  GWeakRef canvas;  // the widget, for its place on screen and its hooks
  Children children;
};

// The C++ state of our objects hangs on them as data, freed with them.
template <typename T>
T& Attached(gpointer object, const char* key) {
  const GQuark quark = g_quark_from_static_string(key);
  if (auto* found = static_cast<T*>(g_object_get_qdata(G_OBJECT(object), quark))) return *found;
  auto fresh = std::make_unique<T>();
  T& state = *fresh;
  g_object_set_qdata_full(G_OBJECT(object), quark, fresh.release(),
                          [](gpointer p) { std::unique_ptr<T>(static_cast<T*>(p)); });
  return state;
}

}  // namespace
}  // namespace vistrel::tray

// GObject types, in plain C style: the canvas widget, its accessible object
// and one object per painted thing.
struct VistrelCanvas {
  GtkDrawingArea parent;
};
struct VistrelCanvasClass {
  GtkDrawingAreaClass parent_class;
};
struct VistrelCanvasAccessible {
  GtkWidgetAccessible parent;
};
struct VistrelCanvasAccessibleClass {
  GtkWidgetAccessibleClass parent_class;
};
struct VistrelNode {
  AtkObject parent;
};
struct VistrelNodeClass {
  AtkObjectClass parent_class;
};

namespace {

using vistrel::tray::AccessibleNode;
using vistrel::tray::Attached;
using vistrel::tray::CanvasData;
using vistrel::tray::Children;
using vistrel::tray::DataOf;
using vistrel::tray::NodeState;
using vistrel::tray::Role;

GType vistrel_canvas_get_type();
GType vistrel_canvas_accessible_get_type();
GType vistrel_node_get_type();
void vistrel_node_component_init(AtkComponentIface* iface);
void vistrel_node_action_init(AtkActionIface* iface);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-function"
G_DEFINE_TYPE(VistrelCanvas, vistrel_canvas, GTK_TYPE_DRAWING_AREA)
G_DEFINE_TYPE(VistrelCanvasAccessible, vistrel_canvas_accessible, GTK_TYPE_WIDGET_ACCESSIBLE)
G_DEFINE_TYPE_WITH_CODE(VistrelNode, vistrel_node, ATK_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(ATK_TYPE_COMPONENT, vistrel_node_component_init)
                            G_IMPLEMENT_INTERFACE(ATK_TYPE_ACTION, vistrel_node_action_init))
#pragma GCC diagnostic pop

NodeState& StateOf(gpointer node) {
  return Attached<NodeState>(node, "vistrel-node");
}
std::vector<AtkObject*>& ChildrenOf(gpointer canvas_accessible) {
  return Attached<Children>(canvas_accessible, "vistrel-children").list;
}

AtkRole AtkRoleOf(Role role) {
  switch (role) {
    case Role::kLabel:
      return ATK_ROLE_LABEL;
    case Role::kPushButton:
      return ATK_ROLE_PUSH_BUTTON;
    case Role::kToggleButton:
      return ATK_ROLE_TOGGLE_BUTTON;
    case Role::kRadioButton:
      return ATK_ROLE_RADIO_BUTTON;
    case Role::kCheckBox:
      return ATK_ROLE_CHECK_BOX;
    case Role::kPageTab:
      return ATK_ROLE_PAGE_TAB;
    case Role::kPageTabList:
      return ATK_ROLE_PAGE_TAB_LIST;
    case Role::kImage:
      return ATK_ROLE_IMAGE;
    case Role::kList:
      return ATK_ROLE_LIST;
    case Role::kListItem:
      return ATK_ROLE_LIST_ITEM;
    case Role::kGroup:
      return ATK_ROLE_PANEL;
    case Role::kAlert:
      return ATK_ROLE_ALERT;
  }
  return ATK_ROLE_UNKNOWN;
}

// The canvas widget of a node, with a reference; null once it is gone.
GtkWidget* CanvasOf(NodeState& state) {
  return static_cast<GtkWidget*>(g_weak_ref_get(&state.canvas));
}

bool Actionable(const NodeState& state) {
  return state.node.region >= 0 && state.node.enabled;
}

// --- the canvas widget

void vistrel_canvas_init(VistrelCanvas*) {}

void vistrel_canvas_class_init(VistrelCanvasClass* klass) {
  gtk_widget_class_set_accessible_type(GTK_WIDGET_CLASS(klass),
                                       vistrel_canvas_accessible_get_type());
}

// --- the canvas's accessible object

void EnsureRecorded(AtkObject* object) {
  GtkWidget* widget = gtk_accessible_get_widget(GTK_ACCESSIBLE(object));
  CanvasData* data = DataOf(widget);
  if (!data || data->listened) return;
  data->listened = true;
  if (data->hooks.record) data->hooks.record();
}

gint CanvasChildCount(AtkObject* object) {
  EnsureRecorded(object);
  return static_cast<gint>(ChildrenOf(object).size());
}

AtkObject* CanvasChild(AtkObject* object, gint index) {
  EnsureRecorded(object);
  const auto& children = ChildrenOf(object);
  if (index < 0 || static_cast<size_t>(index) >= children.size()) return nullptr;
  return ATK_OBJECT(g_object_ref(children[static_cast<size_t>(index)]));
}

void CanvasInitialize(AtkObject* object, gpointer data) {
  ATK_OBJECT_CLASS(vistrel_canvas_accessible_parent_class)->initialize(object, data);
  atk_object_set_role(object, ATK_ROLE_PANEL);
}

void vistrel_canvas_accessible_init(VistrelCanvasAccessible*) {}

void vistrel_canvas_accessible_class_init(VistrelCanvasAccessibleClass* klass) {
  AtkObjectClass* atk = ATK_OBJECT_CLASS(klass);
  atk->initialize = CanvasInitialize;
  atk->get_n_children = CanvasChildCount;
  atk->ref_child = CanvasChild;
}

// --- one painted thing

gint NodeChildCount(AtkObject* object) {
  return static_cast<gint>(StateOf(object).children.list.size());
}

AtkObject* NodeChild(AtkObject* object, gint index) {
  const auto& children = StateOf(object).children.list;
  if (index < 0 || static_cast<size_t>(index) >= children.size()) return nullptr;
  return ATK_OBJECT(g_object_ref(children[static_cast<size_t>(index)]));
}

gint NodeIndex(AtkObject* object) {
  return StateOf(object).index;
}

AtkStateSet* NodeStates(AtkObject* object) {
  AtkStateSet* set = ATK_OBJECT_CLASS(vistrel_node_parent_class)->ref_state_set(object);
  const NodeState& state = StateOf(object);
  atk_state_set_add_state(set, ATK_STATE_VISIBLE);
  atk_state_set_add_state(set, ATK_STATE_SHOWING);
  if (state.node.enabled) {
    atk_state_set_add_state(set, ATK_STATE_ENABLED);
    atk_state_set_add_state(set, ATK_STATE_SENSITIVE);
  }
  if (Actionable(state)) atk_state_set_add_state(set, ATK_STATE_FOCUSABLE);
  if (state.focused) atk_state_set_add_state(set, ATK_STATE_FOCUSED);
  switch (state.node.role) {
    case Role::kCheckBox:
    case Role::kRadioButton:
      if (state.node.checked) atk_state_set_add_state(set, ATK_STATE_CHECKED);
      break;
    case Role::kToggleButton:
      if (state.node.checked) atk_state_set_add_state(set, ATK_STATE_PRESSED);
      break;
    case Role::kPageTab:
      atk_state_set_add_state(set, ATK_STATE_SELECTABLE);
      if (state.node.checked) atk_state_set_add_state(set, ATK_STATE_SELECTED);
      break;
    default:
      break;
  }
  return set;
}

void vistrel_node_init(VistrelNode*) {}

void vistrel_node_class_init(VistrelNodeClass* klass) {
  AtkObjectClass* atk = ATK_OBJECT_CLASS(klass);
  atk->get_n_children = NodeChildCount;
  atk->ref_child = NodeChild;
  atk->get_index_in_parent = NodeIndex;
  atk->ref_state_set = NodeStates;
}

void NodeExtents(AtkComponent* component, gint* x, gint* y, gint* width, gint* height,
                 AtkCoordType coords) {
  NodeState& state = StateOf(component);
  *x = *y = *width = *height = 0;
  GtkWidget* canvas = CanvasOf(state);
  if (!canvas) return;
  GdkWindow* window = gtk_widget_get_window(canvas);
  int left = 0, top = 0;
  if (window) {
    gdk_window_get_origin(window, &left, &top);
    if (coords != ATK_XY_SCREEN) {
      GdkWindow* toplevel = gdk_window_get_toplevel(window);
      int tx = 0, ty = 0;
      gdk_window_get_origin(toplevel, &tx, &ty);
      left -= tx;
      top -= ty;
    }
  }
  g_object_unref(canvas);
  *x = left + static_cast<gint>(state.node.rect.x);
  *y = top + static_cast<gint>(state.node.rect.y);
  *width = static_cast<gint>(state.node.rect.width + 0.5f);
  *height = static_cast<gint>(state.node.rect.height + 0.5f);
}

gboolean NodeGrabFocus(AtkComponent* component) {
  NodeState& state = StateOf(component);
  if (!Actionable(state)) return FALSE;
  GtkWidget* canvas = CanvasOf(state);
  if (!canvas) return FALSE;
  CanvasData* data = DataOf(canvas);
  if (data && data->hooks.focus) data->hooks.focus(state.node.region);
  g_object_unref(canvas);
  return TRUE;
}

void vistrel_node_component_init(AtkComponentIface* iface) {
  iface->get_extents = NodeExtents;
  iface->grab_focus = NodeGrabFocus;
}

gint NodeActionCount(AtkAction* action) {
  return Actionable(StateOf(action)) ? 1 : 0;
}

gboolean NodeDoAction(AtkAction* action, gint index) {
  NodeState& state = StateOf(action);
  if (index != 0 || !Actionable(state)) return FALSE;
  GtkWidget* canvas = CanvasOf(state);
  if (!canvas) return FALSE;
  CanvasData* data = DataOf(canvas);
  const bool done =
      data && data->hooks.activate && data->hooks.activate(state.node.region, state.node.rect);
  g_object_unref(canvas);
  return done ? TRUE : FALSE;
}

const gchar* NodeActionName(AtkAction* action, gint index) {
  return index == 0 && Actionable(StateOf(action)) ? "click" : nullptr;
}

void vistrel_node_action_init(AtkActionIface* iface) {
  iface->get_n_actions = NodeActionCount;
  iface->do_action = NodeDoAction;
  iface->get_name = NodeActionName;
}

// --- keeping the children in step with the paint

AtkObject* NewNode(GtkWidget* canvas, AtkObject* parent, const AccessibleNode& node, int index) {
  auto* object = ATK_OBJECT(g_object_new(vistrel_node_get_type(), nullptr));
  NodeState& state = StateOf(object);
  state.node = node;
  state.index = index;
  g_weak_ref_set(&state.canvas, canvas);
  atk_object_set_role(object, AtkRoleOf(node.role));
  atk_object_set_name(object, node.name.c_str());
  atk_object_set_parent(object, parent);
  return object;
}

// Brings an existing object to the node, announcing what a reader hears of.
void UpdateNode(AtkObject* object, const AccessibleNode& node, bool focused) {
  NodeState& state = StateOf(object);
  const AccessibleNode before = state.node;
  const bool was_focused = state.focused;
  state.node = node;
  state.focused = focused;
  if (before.name != node.name) atk_object_set_name(object, node.name.c_str());
  if (before.checked != node.checked) {
    const AtkStateType shown = node.role == Role::kPageTab        ? ATK_STATE_SELECTED
                               : node.role == Role::kToggleButton ? ATK_STATE_PRESSED
                                                                  : ATK_STATE_CHECKED;
    atk_object_notify_state_change(object, shown, node.checked);
  }
  if (before.enabled != node.enabled) {
    atk_object_notify_state_change(object, ATK_STATE_ENABLED, node.enabled);
    atk_object_notify_state_change(object, ATK_STATE_SENSITIVE, node.enabled);
  }
  if (was_focused != focused) atk_object_notify_state_change(object, ATK_STATE_FOCUSED, focused);
}

// The children of `parent` (node index `parent_node`, -1 for the canvas)
// made to follow the surface's nodes: same role at the same place keeps its
// object; anything else is replaced.
void Sync(GtkWidget* canvas, AtkObject* parent, std::vector<AtkObject*>& children,
          const vistrel::tray::Surface& surface, int parent_node) {
  std::vector<int> wanted;
  for (size_t i = 0; i < surface.nodes.size(); ++i) {
    if (surface.nodes[i].parent == parent_node) wanted.push_back(static_cast<int>(i));
  }
  while (children.size() > wanted.size()) {
    AtkObject* gone = children.back();
    children.pop_back();
    g_signal_emit_by_name(parent, "children-changed::remove", static_cast<guint>(children.size()),
                          gone);
    g_object_unref(gone);
  }
  for (size_t i = 0; i < wanted.size(); ++i) {
    const AccessibleNode& node = surface.nodes[static_cast<size_t>(wanted[i])];
    const bool focused = node.region >= 0 && node.region == surface.focus;
    if (i < children.size() && StateOf(children[i]).node.role == node.role) {
      UpdateNode(children[i], node, focused);
    } else {
      AtkObject* fresh = NewNode(canvas, parent, node, static_cast<int>(i));
      StateOf(fresh).focused = focused;
      if (i < children.size()) {
        g_signal_emit_by_name(parent, "children-changed::remove", static_cast<guint>(i),
                              children[i]);
        g_object_unref(children[i]);
        children[i] = fresh;
      } else {
        children.push_back(fresh);
      }
      g_signal_emit_by_name(parent, "children-changed::add", static_cast<guint>(i), fresh);
      // An alert is read out when it shows; a control that comes with the
      // focus announces it.
      if (node.role == Role::kAlert) atk_object_notify_state_change(fresh, ATK_STATE_SHOWING, TRUE);
      if (focused) atk_object_notify_state_change(fresh, ATK_STATE_FOCUSED, TRUE);
    }
    Sync(canvas, children[i], StateOf(children[i]).children.list, surface, wanted[i]);
  }
}

}  // namespace

namespace vistrel::tray {

GtkWidget* NewAccessibleCanvas(CanvasHooks hooks) {
  GtkWidget* canvas = GTK_WIDGET(g_object_new(vistrel_canvas_get_type(), nullptr));
  auto data = std::make_unique<CanvasData>();
  data->hooks = std::move(hooks);
  g_object_set_data_full(G_OBJECT(canvas), "vistrel-canvas", data.release(), [](gpointer p) {
    std::unique_ptr<CanvasData>(static_cast<CanvasData*>(p));
  });
  return canvas;
}

bool CanvasListened(GtkWidget* canvas) {
  const CanvasData* data = DataOf(canvas);
  return data && data->listened;
}

void PublishCanvas(GtkWidget* canvas, const Surface& surface) {
  if (!CanvasListened(canvas)) return;
  AtkObject* accessible = gtk_widget_get_accessible(canvas);
  if (!accessible || !G_TYPE_CHECK_INSTANCE_TYPE(accessible, vistrel_canvas_accessible_get_type()))
    return;
  const char* name = atk_object_get_name(accessible);
  if (!name || surface.name != name) atk_object_set_name(accessible, surface.name.c_str());
  Sync(canvas, accessible, ChildrenOf(accessible), surface, -1);
}

}  // namespace vistrel::tray
