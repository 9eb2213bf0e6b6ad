// The red-black tree behind std::map and std::set: the C++ library's headers keep these
// steps out of line. The layout is the headers': each node has a colour and three links,
// and the tree's header node holds the root (parent), the leftmost and the rightmost node;
// the header is red, which tells it from the root when stepping back from end().
namespace std {

enum _Rb_tree_color { _S_red = false, _S_black = true };

struct _Rb_tree_node_base {
    _Rb_tree_color _M_color;
    _Rb_tree_node_base *_M_parent;
    _Rb_tree_node_base *_M_left;
    _Rb_tree_node_base *_M_right;
};

} // namespace std

namespace {

using Node = std::_Rb_tree_node_base;

bool is_black(const Node *node) {
    return !node || node->_M_color == std::_S_black;
}

Node *leftmost_below(Node *node) {
    while (node->_M_left) node = node->_M_left;
    return node;
}

Node *rightmost_below(Node *node) {
    while (node->_M_right) node = node->_M_right;
    return node;
}

// Puts replacement where node hangs from its parent (or the root).
void replace_child(Node *node, Node *replacement, Node *&root) {
    if (node == root)
        root = replacement;
    else if (node == node->_M_parent->_M_left)
        node->_M_parent->_M_left = replacement;
    else
        node->_M_parent->_M_right = replacement;
}

void rotate_left(Node *node, Node *&root) {
    Node *child = node->_M_right;
    node->_M_right = child->_M_left;
    if (child->_M_left) child->_M_left->_M_parent = node;
    child->_M_parent = node->_M_parent;
    replace_child(node, child, root);
    child->_M_left = node;
    node->_M_parent = child;
}

void rotate_right(Node *node, Node *&root) {
    Node *child = node->_M_left;
    node->_M_left = child->_M_right;
    if (child->_M_right) child->_M_right->_M_parent = node;
    child->_M_parent = node->_M_parent;
    replace_child(node, child, root);
    child->_M_right = node;
    node->_M_parent = child;
}

Node *next(Node *node) {
    if (node->_M_right) return leftmost_below(node->_M_right);
    Node *parent = node->_M_parent;
    while (node == parent->_M_right) {
        node = parent;
        parent = parent->_M_parent;
    }
    // From the rightmost node of a one-node tree, node is the header here: it stays.
    return node->_M_right != parent ? parent : node;
}

Node *previous(Node *node) {
    bool is_header = node->_M_color == std::_S_red && node->_M_parent->_M_parent == node;
    if (is_header) return node->_M_right;
    if (node->_M_left) return rightmost_below(node->_M_left);
    Node *parent = node->_M_parent;
    while (node == parent->_M_left) {
        node = parent;
        parent = parent->_M_parent;
    }
    return parent;
}

// Restores the colours after a red node was linked in.
void balance_after_insert(Node *node, Node *&root) {
    while (node != root && node->_M_parent->_M_color == std::_S_red) {
        Node *parent = node->_M_parent;
        Node *grandparent = parent->_M_parent;
        bool on_left = parent == grandparent->_M_left;
        Node *uncle = on_left ? grandparent->_M_right : grandparent->_M_left;
        if (!is_black(uncle)) {
            parent->_M_color = uncle->_M_color = std::_S_black;
            grandparent->_M_color = std::_S_red;
            node = grandparent;
            continue;
        }
        if (node == (on_left ? parent->_M_right : parent->_M_left)) {
            node = parent;
            on_left ? rotate_left(node, root) : rotate_right(node, root);
            parent = node->_M_parent;
        }
        parent->_M_color = std::_S_black;
        grandparent->_M_color = std::_S_red;
        on_left ? rotate_right(grandparent, root) : rotate_left(grandparent, root);
    }
    root->_M_color = std::_S_black;
}

// Restores the black heights after a black node left the place below parent where child
// (perhaps null) now is.
void balance_after_erase(Node *child, Node *parent, Node *&root) {
    while (child != root && is_black(child)) {
        bool on_left = child == parent->_M_left;
        Node *sibling = on_left ? parent->_M_right : parent->_M_left;
        if (!is_black(sibling)) {
            sibling->_M_color = std::_S_black;
            parent->_M_color = std::_S_red;
            on_left ? rotate_left(parent, root) : rotate_right(parent, root);
            sibling = on_left ? parent->_M_right : parent->_M_left;
        }
        Node *near = on_left ? sibling->_M_left : sibling->_M_right;
        Node *far = on_left ? sibling->_M_right : sibling->_M_left;
        if (is_black(near) && is_black(far)) {
            sibling->_M_color = std::_S_red;
            child = parent;
            parent = parent->_M_parent;
            continue;
        }
        if (is_black(far)) {
            near->_M_color = std::_S_black;
            sibling->_M_color = std::_S_red;
            on_left ? rotate_right(sibling, root) : rotate_left(sibling, root);
            sibling = on_left ? parent->_M_right : parent->_M_left;
            far = on_left ? sibling->_M_right : sibling->_M_left;
        }
        sibling->_M_color = parent->_M_color;
        parent->_M_color = std::_S_black;
        if (far) far->_M_color = std::_S_black;
        on_left ? rotate_left(parent, root) : rotate_right(parent, root);
        return;
    }
    if (child) child->_M_color = std::_S_black;
}

} // namespace

namespace std {

_Rb_tree_node_base *_Rb_tree_increment(_Rb_tree_node_base *node) throw() {
    return next(node);
}

const _Rb_tree_node_base *_Rb_tree_increment(const _Rb_tree_node_base *node) throw() {
    return next(const_cast<Node *>(node));
}

_Rb_tree_node_base *_Rb_tree_decrement(_Rb_tree_node_base *node) throw() {
    return previous(node);
}

const _Rb_tree_node_base *_Rb_tree_decrement(const _Rb_tree_node_base *node) throw() {
    return previous(const_cast<Node *>(node));
}

void _Rb_tree_insert_and_rebalance(const bool insert_left, _Rb_tree_node_base *node,
                                   _Rb_tree_node_base *parent, _Rb_tree_node_base &header) throw() {
    node->_M_parent = parent;
    node->_M_left = node->_M_right = nullptr;
    node->_M_color = _S_red;
    if (insert_left) {
        parent->_M_left = node; // the header's left too: the leftmost node of an empty tree
        if (parent == &header) {
            header._M_parent = node;
            header._M_right = node;
        } else if (parent == header._M_left) {
            header._M_left = node;
        }
    } else {
        parent->_M_right = node;
        if (parent == header._M_right) header._M_right = node;
    }
    balance_after_insert(node, header._M_parent);
}

// The black nodes from node up to root, both counted: what the tree's own check compares.
unsigned int _Rb_tree_black_count(const _Rb_tree_node_base *node,
                                  const _Rb_tree_node_base *root) throw() {
    unsigned int count = 0;
    for (; node; node = node == root ? nullptr : node->_M_parent)
        if (node->_M_color == _S_black) count++;
    return count;
}

// Unlinks node and returns it for the caller to free.
_Rb_tree_node_base *_Rb_tree_rebalance_for_erase(_Rb_tree_node_base *const node,
                                                 _Rb_tree_node_base &header) throw() {
    Node *&root = header._M_parent;
    Node *child;
    Node *child_parent;
    _Rb_tree_color removed_color;
    if (node->_M_left && node->_M_right) {
        // Two children: the successor takes node's place and colour.
        Node *successor = leftmost_below(node->_M_right);
        child = successor->_M_right;
        removed_color = successor->_M_color;
        if (successor == node->_M_right) {
            child_parent = successor;
        } else {
            child_parent = successor->_M_parent;
            if (child) child->_M_parent = child_parent;
            child_parent->_M_left = child;
            successor->_M_right = node->_M_right;
            node->_M_right->_M_parent = successor;
        }
        successor->_M_left = node->_M_left;
        node->_M_left->_M_parent = successor;
        replace_child(node, successor, root);
        successor->_M_parent = node->_M_parent;
        successor->_M_color = node->_M_color;
    } else {
        child = node->_M_left ? node->_M_left : node->_M_right;
        child_parent = node->_M_parent;
        removed_color = node->_M_color;
        if (child) child->_M_parent = child_parent;
        replace_child(node, child, root);
        if (header._M_left == node) header._M_left = child ? leftmost_below(child) : child_parent;
        if (header._M_right == node)
            header._M_right = child ? rightmost_below(child) : child_parent;
    }
    if (removed_color == _S_black) balance_after_erase(child, child_parent, root);
    return node;
}

} // namespace std
