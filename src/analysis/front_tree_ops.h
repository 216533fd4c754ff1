#pragma once
// Building, walking, merging and renumbering the assembly tree (FrontTree).
#include <cstdint>
#include <vector>

#include "analysis/graph.h"
#include "core/front_tree.h"

// First node of the postorder below (and including) s: the leftmost leaf.
std::int32_t FirstInPostorder(const FrontTree& tree, std::int32_t s);
// Postorder successor of s, −1 after the last root.
std::int32_t NextInPostorder(const FrontTree& tree, std::int32_t s);
// Every node in postorder.
std::vector<std::int32_t> PostorderNodes(const FrontTree& tree);

// Rebuilds firstChild, nextSibling and root from parent: children and roots in
// increasing index order.
void RebuildChildLists(FrontTree& tree);

// Column elimination tree of the pattern with npiv = 1 and nrow = the
// off-diagonal count of each column; every parentless column other than n − 1
// hangs under n − 1.
void BuildFrontTree(FrontTree& tree, const PatternView& pattern);

// Bytes held by the tree's arrays.
std::uint64_t TreeBytes(const FrontTree& tree);

// Entries of one triangle of the factor the tree describes.
std::int64_t TreeNZ(const FrontTree& tree);

// The merge passes. z holds the explicit zeros accumulated per node and is
// carried to the new numbering. Each pass ends with CompressTree.
void MergeFrontsOne(FrontTree& tree, std::int64_t limit, std::vector<std::int64_t>& z);
void MergeFrontsAll(FrontTree& tree, std::int64_t limit, std::vector<std::int64_t>& z);
void MergeFrontsAny(FrontTree& tree, std::int64_t limit, std::vector<std::int64_t>& z);

// Replaces the nodes by their groups: rep is a union-find forest whose roots
// are the topmost member of each group. Groups are numbered in increasing order
// of their root. Returns the group of every old node.
std::vector<std::int32_t> CompressTree(FrontTree& tree, std::vector<std::int32_t>& rep);

// Renames node s to number[s] (a permutation of the nodes), moving every
// per-node field and colNode, and rebuilds the child lists.
void RenumberTree(FrontTree& tree, const std::vector<std::int32_t>& number);

// Columns of every node, ascending (nodeCols).
void BuildNodeColumns(FrontTree& tree);

// Writes "treeinfo.txt" in the current directory: per node in postorder its
// index, npiv, nrow and front order.
void PrintTreeInfo(const FrontTree& tree);
